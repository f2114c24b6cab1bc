"""Settlement intake, draft signatures, idempotency and the relay scenario."""

import threading

from tests import plugin_side as ps
from tests.harness import KEY, SERVER, BackendTestCase, now_ms

RID = b"cs16-alpha-srv-1-3-1000"


def busy_draft(**overrides):
    return ps.make_draft(
        reward_entries=[ps.reward(1, b"STEAM_0:1:1001", 100, valid_damage=87),
                        ps.reward(2, b"STEAM_0:0:2002", 25, kills=0)],
        weapon_spend_entries=[ps.spend(1, b"STEAM_0:1:1001", b"ak47", 30)],
        zolt_transfer_entries=[ps.transfer(1, 1, 2, b"STEAM_0:1:1001", b"STEAM_0:0:2002", 10, 0, b"menu-1")],
        combat_stats_entries=[ps.combat(b"STEAM_0:1:1001", kills=1, shots_fired=12, shots_hit=4)],
        rival_stats_entries=[ps.rival(b"STEAM_0:1:1001", b"STEAM_0:0:2002", hits=3, damage=87, kills=1)],
        **overrides)


class SettlementIntake(BackendTestCase):
    def ledger_count(self):
        return self.store.db.execute("SELECT COUNT(*) FROM ledger").fetchone()[0]

    def test_signed_settlement_is_accepted_with_intake_fields(self):
        status, answer = self.settle(busy_draft())
        self.assertEqual(status, 200, answer)
        self.assertEqual((answer["accepted"], answer["requestId"], answer["status"]), (True, RID.decode(), "queued"))
        self.assertEqual(answer["relay"]["extrinsicStatus"], "queued")
        self.assertEqual(answer["errors"], [])
        self.assertTrue(answer["receivedAt"])
        self.assertEqual(self.ledger_count(), 5)  # two rewards, one spend, both sides of one transfer

    def test_body_form_payload_is_accepted_too(self):
        status, answer = self.settle(busy_draft(), canonical=False)
        self.assertEqual(status, 200, answer)

    def test_draft_problems_are_refused(self):
        draft = busy_draft()
        signed = ps.sign_draft(draft, KEY)
        altered = dict(signed, reward_entries=[ps.reward(1, b"STEAM_0:1:1001", 1000, valid_damage=87)])
        cases = {
            "reward raised after signing": (altered, False, RID, 422, "bad_draft_signature"),
            "signed with another key": (ps.sign_draft(draft, b"other"), False, RID, 422, "bad_draft_signature"),
            "round 0": (ps.make_draft(round_number=0), True, RID, 422, "incomplete_draft"),
            "empty roster root": (ps.make_draft(roster_root=b""), True, RID, 422, "incomplete_draft"),
            "draft of another server": (ps.make_draft(server_id=b"srv-2"), True, RID, 400, "server_id_mismatch"),
        }
        for name, (the_draft, sign, request_id, status, reason) in cases.items():
            with self.subTest(name):
                got, answer = self.settle(the_draft, sign=sign, request_id=request_id)
                self.assertEqual((got, answer["reasons"]), (status, [reason]))
        self.assertEqual(self.ledger_count(), 0)

    def test_payload_must_name_the_envelope_request(self):
        signed = ps.sign_draft(ps.make_draft(), KEY)
        _, canonical = ps.intake_bodies(b"other-id", b"unix-ms:1", signed)
        status, answer = self.post("settlement", canonical, request_id=RID)
        self.assertEqual((status, answer["reasons"]), (400, ["request_id_mismatch"]))

    def test_out_of_range_values_are_refused(self):
        signed = ps.sign_draft(busy_draft(), KEY)
        _, canonical = ps.intake_bodies(RID, b"unix-ms:1", signed)
        for old, new in ((b'"rewardZolt":"100"', b'"rewardZolt":"0100"'),
                         (b'"rewardZolt":"100"', b'"rewardZolt":100'),
                         (b'"kills":1,"rewardZolt"', b'"kills":4294967296,"rewardZolt"'),
                         (b'"targetRole":"terrorist"', b'"targetRole":"ct"'),
                         (b'"roundNumber":3,"serverId"', b'"roundNumber":3.0,"serverId"')):
            with self.subTest(new):
                status, answer = self.post("settlement", canonical.replace(old, new, 1), request_id=RID)
                self.assertEqual((status, answer["reasons"]), (400, ["bad_payload"]))

    def test_repeated_request_gets_the_earlier_answer_and_counts_once(self):
        draft = busy_draft()
        signed = ps.sign_draft(draft, KEY)
        _, canonical = ps.intake_bodies(RID, b"unix-ms:1000", signed)
        ts = now_ms()
        envelope = ps.envelope(KEY, SERVER, RID, ts, canonical, b"settlement")
        headers = [(b"X-IronPost-Server-Id", SERVER), (b"X-IronPost-Request-Id", RID)]
        first = self.send("settlement", envelope, headers)[1]
        again = self.send("settlement", envelope, headers)[1]
        rewrapped = self.post("settlement", canonical, request_id=RID, ts=ts + 7)[1]
        for answer in (again, rewrapped):
            self.assertTrue(answer["duplicate"])
            self.assertEqual((answer["requestId"], answer["receivedAt"], answer["accepted"]),
                             (first["requestId"], first["receivedAt"], True))
        self.assertEqual(self.ledger_count(), 5)
        self.assertEqual(self.last()["reasons"], ["duplicate_request"])

    def test_request_id_reused_for_another_settlement_is_a_conflict(self):
        self.assertEqual(self.settle(busy_draft())[0], 200)
        status, answer = self.settle(busy_draft(round_number=4))
        self.assertEqual((status, answer["reasons"]), (409, ["request_id_conflict"]))
        self.assertEqual(self.ledger_count(), 5)

    def test_concurrent_repeats_count_once(self):
        signed = ps.sign_draft(busy_draft(), KEY)
        _, canonical = ps.intake_bodies(RID, b"unix-ms:1000", signed)
        envelope = ps.envelope(KEY, SERVER, RID, now_ms(), canonical, b"settlement")
        headers = [(b"X-IronPost-Server-Id", SERVER), (b"X-IronPost-Request-Id", RID)]
        statuses = []
        threads = [threading.Thread(target=lambda: statuses.append(self.send("settlement", envelope, headers)[0]))
                   for _ in range(6)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(10)
        self.assertEqual(statuses, [200] * 6)
        self.assertEqual(self.ledger_count(), 5)

    def test_stale_resend_of_a_known_settlement_is_answered_not_refused(self):
        old = now_ms() - self.config.freshness_ms - 60_000
        self.assertEqual(self.settle(busy_draft(), ts=old)[1]["reasons"], ["stale_timestamp"])
        self.assertEqual(self.settle(busy_draft())[0], 200)
        status, answer = self.settle(busy_draft(), ts=old)
        self.assertEqual(status, 200)
        self.assertTrue(answer["duplicate"])
        self.assertIn("stale envelope accepted as a repeat of a known settlement", self.last()["warnings"])


class RelayScenario(BackendTestCase):
    def test_default_scenario_moves_one_step_per_poll(self):
        self.assertEqual(self.settle(busy_draft())[1]["status"], "queued")
        seen = []
        for _ in range(4):
            status, answer = self.poll(RID)
            self.assertEqual(status, 200)
            self.assertEqual(answer["requestId"], RID.decode())  # the settlement's id, not the poll's
            seen.append(answer["relay"]["extrinsicStatus"])
        self.assertEqual(seen, ["submitted", "included", "included", "included"])
        self.assertTrue(answer["relay"]["extrinsicHash"].startswith("0x"))
        self.assertEqual(answer["relay"]["blockNumber"], 1)

    def test_unknown_settlement_poll_is_not_found(self):
        status, answer = self.poll(b"never-sent")
        self.assertEqual((status, answer["accepted"], answer["reasons"]), (404, False, ["unknown_settlement"]))

    def test_failed_relay_is_relayed_again_when_the_plugin_resends(self):
        self.admin("/admin/scenario", b'{"scenario":["queued","failed","submitted","included"]}', "POST")
        self.settle(busy_draft())
        answer = self.poll(RID)[1]
        self.assertEqual(answer["status"], "failed")
        self.assertTrue(answer["relay"]["errors"])
        status, answer = self.settle(busy_draft())
        self.assertEqual((status, answer["status"], answer["duplicate"]), (200, "submitted", True))
        self.assertEqual(self.poll(RID)[1]["status"], "included")
