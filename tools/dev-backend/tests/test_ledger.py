"""Balances from the ledger, stored telemetry, and the command line (port 0 and the summary)."""

import contextlib
import io
import json
import os
import re
import subprocess
import sys
import tempfile
import unittest

from ironpost_backend import cli

from tests import plugin_side as ps
from tests.harness import KEY, SERVER, BackendTestCase, now_ms

TOOL = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "ironpost_dev_backend.py")
ALICE, BOB, CAROL = b"STEAM_0:1:1001", b"STEAM_0:0:2002", b"STEAM_0:1:3003"


def plugin_profiles(body):
    """Reads a balance answer the way the plugin does: naive member searches inside the "players" array."""
    text = body.decode("latin-1")
    start = text.find('"players":[')
    profiles = []
    for obj in re.findall(r"\{[^{}]*\}", text[start:text.index("]", start)]):
        def string(name):
            found = re.search('"' + name + '":"([^"]*)"', obj)
            return found.group(1) if found else None
        slot = re.search(r'"slot":\s*(-?\d+)', obj)
        source = re.search(r'"sourceBlock":\s*(\d+)', obj)
        profiles.append({"slot": int(slot.group(1)), "linked": '"linked":true' in obj, "account": string("account"),
                         "pending": string("pendingZoltAtomic"), "pendingZolt": string("pendingZolt"),
                         "wallet": string("walletBalanceAtomic"), "steamHash": string("steamHash"),
                         "sourceBlock": int(source.group(1)) if source else 0})
    return profiles


class Balances(BackendTestCase):
    wallets = ({"steamId": ALICE.decode(), "account": "5Alice", "walletBalanceAtomic": "2500"},)
    config_options = {"currency_decimals": 2}

    def settle_round(self, number, **lists):
        draft = ps.make_draft(round_number=number, **lists)
        status, answer = self.settle(draft, request_id=b"round-%d" % number)
        self.assertEqual(status, 200, answer)

    def balances(self, players):
        ts = self.fresh_ts()
        payload = ps.balances_payload(ts, players, SERVER)
        request_id = b"player-balances-" + SERVER + b"-" + ps.num(ts)
        body = ps.envelope(KEY, SERVER, request_id, ts, payload, b"player-balances")
        headers = [(b"X-IronPost-Server-Id", SERVER), (b"X-IronPost-Request-Id", request_id)]
        status, raw, _ = ps.http_post(self.port, b"/v1/plugin/player-balances", body, headers)
        self.assertEqual(status, 200, raw)  # 202 would make the plugin wait for a worker answer
        return plugin_profiles(raw)

    def test_pending_balance_is_earnings_less_spends_and_transfers(self):
        self.settle_round(3, reward_entries=[ps.reward(1, ALICE, 150), ps.reward(2, BOB, 40)],
                          weapon_spend_entries=[ps.spend(1, ALICE, b"ak47", 30, 3)])
        self.settle_round(4, reward_entries=[ps.reward(1, ALICE, 5)],
                          zolt_transfer_entries=[ps.transfer(1, 1, 2, ALICE, BOB, 20)],
                          weapon_spend_entries=[ps.spend(2, BOB, b"deagle", 100, 4)])
        alice, bob, carol = self.balances([(1, ALICE), (2, BOB), (7, CAROL)])
        self.assertEqual((alice["slot"], alice["pending"], alice["pendingZolt"]), (1, "105", "1.05"))
        self.assertEqual((alice["linked"], alice["account"], alice["wallet"]), (True, "5Alice", "2500"))
        # Bob spent more than he had: the plugin cannot show a negative amount, so pending is 0.
        self.assertEqual((bob["pending"], bob["linked"], bob["wallet"]), ("0", False, None))
        self.assertEqual((carol["slot"], carol["pending"]), (7, "0"))
        self.assertEqual(len(alice["steamHash"]), 64)
        summary = self.admin("/admin/summary")
        by_player = {b["steamId"]: b for b in summary["balances"]}
        self.assertEqual(by_player[BOB.decode()]["netZolt"], "-40")
        self.assertEqual(len(summary["settlements"]), 2)

    def test_source_block_follows_included_settlements(self):
        self.settle_round(3, reward_entries=[ps.reward(1, ALICE, 1)])
        self.assertEqual(self.balances([(1, ALICE)])[0]["sourceBlock"], 0)
        self.poll(b"round-3")
        self.poll(b"round-3")
        self.assertEqual(self.balances([(1, ALICE)])[0]["sourceBlock"], 1)


class Telemetry(BackendTestCase):
    def test_round_events_are_stored_once(self):
        events = [(0, b"connect", 1, 0, 0, ALICE), (41, b"kill", 1, 2, 1, b"ak47"), (42, b"round_end", 0, 0, 0, b"")]
        payload = ps.round_events_payload(9000, 3, SERVER, events)
        self.assertEqual(self.post("round-events", payload)[1]["eventsStored"], 3)
        # A resend after a failed answer carries the same events again; they are not stored twice.
        answer = self.post("round-events", payload, ts=self.fresh_ts())[1]
        self.assertEqual((answer["eventsReceived"], answer["eventsStored"]), (3, 1))  # the sequence-0 snapshot
        self.assertEqual(self.store.db.execute("SELECT COUNT(*) FROM round_events").fetchone()[0], 4)

    def test_game_state_is_checked_for_member_order(self):
        state = (b'{"backendWorker":{},"buildId":"b","eventSources":{},"nowMs":1,"players":[],"policy":{},'
                 b'"roundNumber":2,"roundPhase":"Idle","serverId":"srv-1"}')
        self.assertEqual(self.post("game-state", state)[0], 200)
        swapped = state.replace(b'"nowMs":1,"players":[]', b'"players":[],"nowMs":1')
        self.assertEqual(self.post("game-state", swapped)[1]["reasons"], ["non_canonical_payload"])

    def test_request_id_outside_the_convention_is_only_a_warning(self):
        status, _ = self.post("heartbeat", ps.heartbeat_payload(1, 1, SERVER), request_id=b"hb-1")
        self.assertEqual(status, 200)
        self.assertTrue(self.last()["warnings"])


class CommandLine(unittest.TestCase):
    def run_tool(self, *args):
        """Runs the command line in this process (a new interpreter per call would slow the suite)."""
        out, err = io.StringIO(), io.StringIO()
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            code = cli.main(list(args))
        return subprocess.CompletedProcess(args, code, out.getvalue(), err.getvalue())

    def test_serves_on_a_free_port_and_summarizes_its_ledger(self):
        with tempfile.TemporaryDirectory() as folder:
            key = os.path.join(folder, "server.key")
            with open(key, "wb") as handle:
                handle.write(KEY + b"\r\n")  # the plugin drops this line break, and so must the backend
            db = os.path.join(folder, "ledger.sqlite3")
            proc = subprocess.Popen([sys.executable, TOOL, "--port", "0", "--key-file", key, "--db", db, "--quiet",
                                     "--fault", "503,count=1"], stdout=subprocess.PIPE, text=True)
            try:
                first = proc.stdout.readline()
                match = re.fullmatch(r"listening 127\.0\.0\.1:(\d+)\n", first)
                self.assertIsNotNone(match, first)
                port = int(match.group(1))
                signed = ps.sign_draft(ps.make_draft(reward_entries=[ps.reward(1, ALICE, 77)]), KEY)
                _, payload = ps.intake_bodies(b"rid-1", b"unix-ms:1", signed)
                body = ps.envelope(KEY, SERVER, b"rid-1", now_ms(), payload, b"settlement")
                headers = [(b"X-IronPost-Server-Id", SERVER), (b"X-IronPost-Request-Id", b"rid-1")]
                self.assertEqual(ps.http_post(port, b"/v1/plugin/settlements", body, headers)[0], 503)
                self.assertEqual(ps.http_post(port, b"/v1/plugin/settlements", body, headers)[0], 200)
                summary = json.loads(self.run_tool("summary", "--db", db, "--json").stdout)
                self.assertEqual([s["requestId"] for s in summary["settlements"]], ["rid-1"])
                self.assertEqual(summary["balances"][0]["earnedZolt"], "77")
                self.assertEqual((summary["counts"]["accepted"], summary["counts"]["refused"]), (1, 1))
                text = self.run_tool("summary", "--db", db).stdout
                self.assertIn("rid-1", text)
                self.assertIn(ALICE.decode(), text)
            finally:
                proc.terminate()
                proc.wait(10)
                proc.stdout.close()
            self.assertEqual(proc.returncode, 0)

    def test_run_hands_a_command_the_backend_and_its_exit_code(self):
        # The child asks through POST, as a test using the plugin's POST-only client would.
        child = ("import json, os, sys, urllib.request as u\n"
                 "url = os.environ['IRONPOST_DEV_BACKEND_URL'] + '/admin/last'\n"
                 "reply = json.load(u.urlopen(u.Request(url, data=b'', method='POST'), timeout=5))\n"
                 "sys.exit(7 if reply == {'decision': None} and os.environ['IRONPOST_DEV_BACKEND_DB'] else 1)\n")
        with tempfile.TemporaryDirectory() as folder:
            key = os.path.join(folder, "server.key")
            with open(key, "wb") as handle:
                handle.write(KEY)
            self.assertEqual(self.run_tool("run", "--key-file", key, "--", sys.executable, "-c", child).returncode, 7)

    def test_verify_judges_one_body_without_a_server(self):
        with tempfile.TemporaryDirectory() as folder:
            key, body_file = os.path.join(folder, "server.key"), os.path.join(folder, "body")
            with open(key, "wb") as handle:
                handle.write(KEY)
            ts = now_ms()
            body = ps.envelope(KEY, SERVER, b"hb-1", ts, ps.heartbeat_payload(1, 2, SERVER), b"heartbeat")
            args = ["verify", "--key-file", key, "--path", "/v1/plugin/heartbeat", "--body-file", body_file,
                    "--header", "X-IronPost-Server-Id: srv-1", "--header", "X-IronPost-Request-Id: hb-1"]
            for content, code, reasons in ((body, 0, ["accepted"]), (body.replace(b"srv-1", b"srv-2", 1), 1,
                                                                    ["bad_signature", "header_mismatch"])):
                with open(body_file, "wb") as handle:
                    handle.write(content)
                result = self.run_tool(*args)
                self.assertEqual((result.returncode, json.loads(result.stdout)["reasons"]), (code, reasons))

    def test_start_up_problems_are_reported_without_a_traceback(self):
        with tempfile.TemporaryDirectory() as folder:
            empty, key = os.path.join(folder, "empty.key"), os.path.join(folder, "server.key")
            open(empty, "wb").close()
            with open(key, "wb") as handle:
                handle.write(KEY)
            for args, text in ((["--key-file", os.path.join(folder, "missing.key")], "cannot read key file"),
                               (["--key-file", empty], "is empty"),
                               (["--key-file", key, "--fault", "teapot"], "unknown fault mode"),
                               (["--key-file", key, "--scenario", "queued,lost"], "scenario steps"),
                               (["summary", "--db", os.path.join(folder, "none.sqlite3")], "cannot read database")):
                result = self.run_tool(*args)
                self.assertEqual(result.returncode, 2, args)
                self.assertIn(text, result.stderr)
                self.assertNotIn("Traceback", result.stderr)
