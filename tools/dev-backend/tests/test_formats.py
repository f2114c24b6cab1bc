"""Known-answer tests: the exact bytes of the signed formats, checked against hand-written literals.

Both the backend's own rendering and the tests' independent plugin-side
rendering must produce these bytes, so neither can drift unnoticed.
"""

import os
import tempfile
import unittest

from ironpost_backend import protocol as P
from ironpost_backend.jsonwire import parse_object
from ironpost_backend.service import Backend, BackendConfig
from tests import plugin_side as ps

KEY = b"dev-key"

# A draft that exercises escaping (a quote and byte 0x1f in a steam id), a zero reward,
# a negative slot, a role name and empty lists.
DRAFT = ps.make_draft(
    server_id=b"srv-1", session_id=b"sess", map_name_hash=b"map", round_number=12, previous_round_hash=b"prev",
    roster_root=b"root", config_hash=b"cfg",
    reward_entries=[ps.reward(3, b'STEAM_"x\x1f', 0, kills=1, valid_damage=100)],
    zolt_transfer_entries=[ps.transfer(7, -1, 4, b"A", b"B", 5, 1, b"n1")],
    rival_stats_entries=[ps.rival(b"A", b"B", 2, 150, 1)])

SIGNING_PAYLOAD = (
    b"domain=22:ironpost:settlement:v1\n"
    b"server_id=5:srv-1\nsession_id=4:sess\nmap_name_hash=3:map\nround_number=2:12\n"
    b"previous_round_hash=4:prev\nroster_root=4:root\nconfig_hash=3:cfg\n"
    b"reward_entries.count=1:1\nreward_entries.0.slot=1:3\nreward_entries.0.steam_id=9:STEAM_\"x\x1f\n"
    b"reward_entries.0.kills=1:1\nreward_entries.0.valid_damage=3:100\nreward_entries.0.reward_zolt=1:0\n"
    b"weapon_spend_entries.count=1:0\n"
    b"zolt_transfer_entries.count=1:1\nzolt_transfer_entries.0.intent_id=1:7\n"
    b"zolt_transfer_entries.0.from_slot=2:-1\nzolt_transfer_entries.0.to_slot=1:4\n"
    b"zolt_transfer_entries.0.from_steam_id=1:A\nzolt_transfer_entries.0.to_steam_id=1:B\n"
    b"zolt_transfer_entries.0.amount=1:5\nzolt_transfer_entries.0.target_role=17:counter_terrorist\n"
    b"zolt_transfer_entries.0.menu_nonce=2:n1\n"
    b"combat_stats_entries.count=1:0\n"
    b"rival_stats_entries.count=1:1\nrival_stats_entries.0.attacker_steam_id=1:A\n"
    b"rival_stats_entries.0.victim_steam_id=1:B\nrival_stats_entries.0.hits=1:2\n"
    b"rival_stats_entries.0.damage=3:150\nrival_stats_entries.0.kills=1:1\n")

SIGNATURE = b"dev-v1:8a156b4bbe95197e"

CANONICAL_PAYLOAD = (
    b'{"draft":{"configHash":"cfg","combatStatsEntries":[],"zoltTransferEntries":[{"amount":"5","fromSteamId":"A",'
    b'"fromUserid":-1,"intentId":7,"menuNonce":"n1","targetRole":"counter_terrorist","toSteamId":"B","toUserid":4}],'
    b'"mapNameHash":"map","previousRoundHash":"prev","rewardEntries":[{"kills":1,"rewardZolt":"0","slot":3,'
    b'"steamId":"STEAM_\\"x\\u001f","validDamage":100}],"rivalStatsEntries":[{"attackerSteamId":"A","damage":150,'
    b'"hits":2,"kills":1,"victimSteamId":"B"}],"rosterRoot":"root","roundNumber":12,"serverId":"srv-1",'
    b'"serverSignature":"dev-v1:8a156b4bbe95197e","sessionId":"sess","weaponSpendEntries":[]},'
    b'"receivedAt":"unix-ms:1","requestId":"r-1"}')

BODY_PAYLOAD = (
    b'{"requestId":"r-1","receivedAt":"unix-ms:1","draft":{"serverId":"srv-1","sessionId":"sess",'
    b'"mapNameHash":"map","roundNumber":12,"previousRoundHash":"prev","rosterRoot":"root","rewardEntries":[{"slot":3,'
    b'"steamId":"STEAM_\\"x\\u001f","kills":1,"validDamage":100,"rewardZolt":"0"}],"weaponSpendEntries":[],'
    b'"zoltTransferEntries":[{"intentId":7,"fromSteamId":"A","toSteamId":"B","amount":"5","fromUserid":-1,'
    b'"toUserid":4,"targetRole":"counter_terrorist","menuNonce":"n1"}],"combatStatsEntries":[],"rivalStatsEntries":'
    b'[{"attackerSteamId":"A","victimSteamId":"B","hits":2,"damage":150,"kills":1}],"configHash":"cfg",'
    b'"serverSignature":"dev-v1:8a156b4bbe95197e"}}')

HEARTBEAT_ENVELOPE = (
    b'{"protocol":"ironpost-plugin-envelope-v2","serverId":"srv-1","requestId":"heartbeat-srv-1-1700000000000",'
    b'"timestampMs":1700000000000,"nonce":"2b92dc153e6fbb48a74043ad86e3ee7e",'
    b'"payloadHash":"sha256:44136fa355b3678a1146ad16f7e8649e94fb4fc21fe77e8310c060f61caaff8a",'
    b'"signature":"hmac-sha256:62d86421a270bd46335e99f086e64c7d6274d89fbaf0d4f6456d38c9f324f869","payload":{}}')


class SettlementFormats(unittest.TestCase):
    def test_signing_payload_and_signature(self):
        self.assertEqual(ps.signing_payload(DRAFT), SIGNING_PAYLOAD)
        self.assertEqual(ps.dev_v1(KEY, SIGNING_PAYLOAD), SIGNATURE)
        self.assertEqual(P.sign_settlement_payload(KEY, SIGNING_PAYLOAD).encode(), SIGNATURE)

    def test_both_json_forms(self):
        body, canonical = ps.intake_bodies(b"r-1", b"unix-ms:1", ps.sign_draft(DRAFT, KEY))
        self.assertEqual(canonical, CANONICAL_PAYLOAD)
        self.assertEqual(body, BODY_PAYLOAD)

    def test_backend_rebuilds_every_form_from_the_wire(self):
        backend = Backend(BackendConfig(KEY), store=None)
        for wire in (CANONICAL_PAYLOAD, BODY_PAYLOAD):
            draft = backend.validate_draft(parse_object(wire)["draft"])
            self.assertEqual(P.build_signing_payload(draft), SIGNING_PAYLOAD)
            self.assertEqual(P.render_settlement_payload(b"r-1", b"unix-ms:1", draft, True), CANONICAL_PAYLOAD)
            self.assertEqual(P.render_settlement_payload(b"r-1", b"unix-ms:1", draft, False), BODY_PAYLOAD)

    def test_empty_lists_still_carry_count_lines(self):
        payload = ps.signing_payload(ps.make_draft())
        for group in (b"reward_entries", b"weapon_spend_entries", b"zolt_transfer_entries", b"combat_stats_entries",
                      b"rival_stats_entries"):
            self.assertIn(b"\n" + group + b".count=1:0\n", payload)

    def test_signing_empty_input_gives_no_signature(self):
        self.assertEqual(P.sign_settlement_payload(KEY, b""), "")
        self.assertEqual(P.sign_settlement_payload(b"", b"x"), "")
        self.assertEqual(len(P.sign_settlement_payload(KEY, b"x")), 23)


class HashesAndEnvelope(unittest.TestCase):
    def test_fnv1a_known_values(self):
        self.assertEqual(P.fnv1a64(b""), 0xCBF29CE484222325)
        self.assertEqual(P.fnv1a64(b"a"), 0xAF63DC4C8601EC8C)
        self.assertEqual(P.fnv1a64(b"foobar"), 0x85944171F73967E8)

    def test_hmac_with_key_longer_than_a_block(self):
        # RFC 4231 test case 6 (131-byte key).
        self.assertEqual(P.hmac_sha256_hex(b"\xaa" * 131, b"Test Using Larger Than Block-Size Key - Hash Key First"),
                         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54")

    def test_envelope_bytes(self):
        request_id, ts = b"heartbeat-srv-1-1700000000000", 1700000000000
        self.assertEqual(ps.envelope(KEY, b"srv-1", request_id, ts, b"{}", b"heartbeat"), HEARTBEAT_ENVELOPE)
        nonce = P.derive_nonce(b"heartbeat", request_id, ts)
        self.assertEqual(nonce, b"2b92dc153e6fbb48a74043ad86e3ee7e")
        self.assertNotEqual(nonce, P.derive_nonce(b"heartbeat", request_id, ts + 1))
        payload_hash = P.payload_hash_of(b"{}")
        text = P.envelope_signing_text(b"srv-1", request_id, ts, nonce, payload_hash)
        self.assertTrue(text.endswith(b"\npayloadHash=" + payload_hash))
        signature = P.sign_envelope_text(KEY, text).encode()
        self.assertEqual(len(signature), 76)
        self.assertEqual(P.render_envelope(b"srv-1", request_id, ts, nonce, payload_hash, signature, b"{}"),
                         HEARTBEAT_ENVELOPE)

    def test_envelope_escaping_is_narrower_than_settlement_escaping(self):
        self.assertEqual(P.envelope_escape(b'a\x01"\\\t\n\r'), b'a\x01\\"\\\\\\t\\n\\r')
        self.assertEqual(P.json_string(b"\x01\x08\x0c\x7f\xff"), b'"\\u0001\\b\\f\x7f\xff"')
        self.assertEqual(P.telemetry_string(b'a\x01\x08"\t\xc3\xa9\xe2\x82\xff'),
                         b'"a\\u0001\\u0008\\"\\t\xc3\xa9\xef\xbf\xbd\xef\xbf\xbd"')

    def test_key_file_loses_one_line_break_only(self):
        cases = {b"k\n": b"k", b"k\r\n": b"k", b"k\n\n": b"k\n", b"k\r": b"k\r", b"k": b"k", b"\r\n": b"",
                 b" k \n": b" k "}
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "server.key")
            for content, expected in cases.items():
                with open(path, "wb") as handle:
                    handle.write(content)
                self.assertEqual(P.load_key_material(path), expected, content)


if __name__ == "__main__":
    unittest.main()
