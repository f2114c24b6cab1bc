"""Envelope verification over real loopback HTTP: what is accepted, and why everything else is refused."""

import hashlib
import json

from tests import plugin_side as ps
from tests.harness import KEY, SERVER, BackendTestCase, now_ms


def heartbeat(ts=None, server_id=SERVER, request_id=None):
    """(body, headers) of a heartbeat built like the plugin, with its parts for tampering."""
    ts = now_ms() if ts is None else ts
    request_id = request_id or b"heartbeat-" + server_id + b"-" + ps.num(ts)
    payload = ps.heartbeat_payload(5000, 3, server_id)
    body = ps.envelope(KEY, server_id, request_id, ts, payload, b"heartbeat")
    headers = [(b"X-IronPost-Server-Id", server_id), (b"X-IronPost-Request-Id", request_id)]
    return body, headers, ts, request_id, payload


def flip(data, marker, offset=0):
    """`data` with one byte changed just after `marker`."""
    at = data.index(marker) + len(marker) + offset
    return data[:at] + (b"0" if data[at:at + 1] != b"0" else b"1") + data[at + 1:]


class EnvelopeVerification(BackendTestCase):
    def test_plugin_heartbeat_is_accepted_and_recorded(self):
        body, headers, _, request_id, _ = heartbeat()
        status, answer = self.send("heartbeat", body, headers)
        self.assertEqual(status, 200, answer)
        self.assertIs(answer["accepted"], True)
        self.assertEqual(answer["requestId"], request_id.decode())
        decision = self.last()
        self.assertEqual((decision["accepted"], decision["reasons"], decision["warnings"]), (True, ["accepted"], []))

    def test_odd_bytes_in_identifiers_survive_both_escapings(self):
        server_id = b'srv\x01"\\\t-\xe9'
        body, headers, _, _, _ = heartbeat(server_id=server_id)
        status, answer = self.send("heartbeat", body, headers)
        self.assertEqual(status, 200, answer)

    def test_one_changed_byte_is_refused_with_its_reason(self):
        body, headers, ts, request_id, payload = heartbeat()
        wrong_nonce = ps.envelope(KEY, SERVER, request_id, ts, payload, b"heartbeat",
                                  nonce_=ps.nonce(request_id, ts, b"settlement"))
        stale_hash = b"sha256:" + hashlib.sha256(payload).hexdigest().encode()
        changed_payload = body.replace(b'"roundNumber":3', b'"roundNumber":4')
        cases = {
            "payload byte": (changed_payload, headers, 400, ["payload_hash_mismatch"]),
            "signature byte": (flip(body, b'"signature":"hmac-sha256:'), headers, 401, ["bad_signature"]),
            "nonce byte": (flip(body, b'"nonce":"'), headers, 400, ["bad_nonce", "bad_signature"]),
            "nonce of another label": (wrong_nonce, headers, 400, ["bad_nonce"]),
            "payload hash byte": (flip(body, stale_hash[:10]), headers, 400,
                                  ["payload_hash_mismatch", "bad_signature"]),
            "server id header": (body, [(b"X-IronPost-Server-Id", b"srv-2"), headers[1]], 400, ["header_mismatch"]),
            "request id header": (body, [headers[0], (b"X-IronPost-Request-Id", request_id + b"x")], 400,
                                  ["header_mismatch"]),
            "missing header": (body, headers[1:], 400, ["header_mismatch"]),
            "wrong protocol": (body.replace(b"envelope-v2", b"envelope-v3"), headers, 400, ["wrong_protocol"]),
            "signed with another key": (ps.envelope(b"other", SERVER, request_id, ts, payload, b"heartbeat"),
                                        headers, 401, ["bad_signature"]),
        }
        for name, (tampered, tampered_headers, status, reasons) in cases.items():
            with self.subTest(name):
                got_status, answer = self.send("heartbeat", tampered, tampered_headers)
                self.assertEqual((got_status, answer["accepted"], answer["reasons"]), (status, False, reasons))
                self.assertEqual(len(answer["errors"]), len(reasons))
                self.assertEqual(self.last()["reasons"], reasons)

    def test_timestamps_outside_the_window_are_refused(self):
        window = self.config.freshness_ms
        for ts in (now_ms() - window - 5000, now_ms() + window + 5000):
            body, headers, _, _, _ = heartbeat(ts=ts)
            status, answer = self.send("heartbeat", body, headers)
            self.assertEqual((status, answer["reasons"]), (401, ["stale_timestamp"]))

    def test_malformed_bodies_get_json_errors(self):
        _, headers, _, _, _ = heartbeat()
        good, _, _, _, _ = heartbeat()
        cases = {
            b"not json": "bad_json",
            b"": "bad_json",
            b"[1,2]": "bad_json",
            b"[" * 5000 + b"]" * 5000: "bad_json",
            good[:-1]: "bad_json",
            good + b"x": "bad_json",
            b'{"protocol":"a","protocol":"b"}': "bad_json",
            b'{"protocol":"ironpost-plugin-envelope-v2"}': "missing_member",
            good.replace(b'"timestampMs":', b'"timestampMs":"').replace(b',"nonce"', b'","nonce"'): "bad_member",
            good.replace(b'"serverId":"srv-1"', b'"serverId":"\\u20ac"'): "bad_payload",
        }
        for body, reason in cases.items():
            with self.subTest(body[:40]):
                status, answer = self.send("heartbeat", body, headers)
                self.assertEqual(status // 100, 4)
                self.assertFalse(answer["accepted"])
                self.assertEqual(answer["reasons"][0], reason)

    def test_layout_is_checked_byte_for_byte(self):
        body, headers, ts, request_id, _ = heartbeat()
        spaced = body.replace(b'","requestId"', b'", "requestId"')
        status, answer = self.send("heartbeat", spaced, headers)
        self.assertEqual((status, answer["reasons"]), (400, ["non_canonical_envelope"]))
        loose_payload = b'{"nowMs": 5000,"roundNumber":3,"serverId":"srv-1"}'
        status, answer = self.post("heartbeat", loose_payload)
        self.assertEqual((status, answer["reasons"]), (400, ["non_canonical_payload"]))
        reordered = b'{"roundNumber":3,"nowMs":5000,"serverId":"srv-1"}'
        status, answer = self.post("heartbeat", reordered)
        self.assertEqual((status, answer["reasons"]), (400, ["non_canonical_payload"]))

    def test_telemetry_strings_travel_as_valid_json(self):
        # A name cut inside a UTF-8 character and a raw control byte are refused as sent before; escaped, they pass.
        for detail in (b"Jos\xc3", b"a\x01b"):
            payload = ps.round_events_payload(1, 1, SERVER, [(1, b"name", 2, 0, 0, detail)])
            status, answer = self.post("round-events", payload.replace(ps.tesc(detail), detail))
            self.assertEqual((status, answer["reasons"]), (400, ["non_canonical_payload"]))
            status, answer = self.post("round-events", payload)
            self.assertEqual(status, 200, answer)

    def test_payload_server_id_must_match_the_envelope(self):
        status, answer = self.post("heartbeat", ps.heartbeat_payload(1, 1, b"srv-2"))
        self.assertEqual((status, answer["reasons"]), (400, ["server_id_mismatch"]))

    def test_replayed_envelope_is_refused(self):
        body, headers, _, _, _ = heartbeat()
        self.assertEqual(self.send("heartbeat", body, headers)[0], 200)
        status, answer = self.send("heartbeat", body, headers)
        self.assertEqual((status, answer["reasons"]), (409, ["nonce_replay"]))

    def test_http_level_refusals(self):
        body, headers, _, _, _ = heartbeat()
        status, answer = self.send("heartbeat", body, headers, content_type=b"text/plain")
        self.assertEqual((status, answer["reasons"]), (415, ["bad_content_type"]))
        status, answer = self.send("heartbeat", b"{" + b" " * (70 * 1024) + b"}", headers)
        self.assertEqual((status, answer["reasons"]), (413, ["body_too_large"]))
        status, raw_body, _ = ps.http_post(self.port, b"/v1/plugin/nothing", body, headers)
        self.assertEqual((status, json.loads(raw_body)["reasons"]), (404, ["unknown_path"]))
        status, raw_body, _ = ps.raw_exchange(self.port, b"GET /v1/plugin/heartbeat HTTP/1.1\r\nHost: x\r\n\r\n")
        self.assertEqual((status, json.loads(raw_body)["reasons"]), (405, ["method_not_allowed"]))
        status, raw_body, _ = ps.raw_exchange(self.port, b"POST /v1/plugin/heartbeat HTTP/1.1\r\nHost: x\r\n\r\n")
        self.assertEqual((status, json.loads(raw_body)["reasons"]), (411, ["length_required"]))
        status, raw_body, _ = ps.raw_exchange(self.port, b"\x00\xff garbage\r\n\r\n")
        self.assertEqual(status, 400)
        self.assertFalse(json.loads(raw_body)["accepted"])


class BearerToken(BackendTestCase):
    config_options = {"token": "s3cret"}

    def test_settlements_need_the_token_and_other_requests_do_not(self):
        draft = ps.make_draft()
        status, answer = self.settle(draft)
        self.assertEqual((status, answer["reasons"]), (401, ["missing_token"]))
        ids = [(b"X-IronPost-Server-Id", SERVER), (b"X-IronPost-Request-Id", b"cs16-alpha-srv-1-3-1000")]
        status, answer = self.settle(draft, headers=ids + [(b"Authorization", b"Bearer wrong")])
        self.assertEqual((status, answer["reasons"]), (401, ["bad_token"]))
        status, answer = self.settle(draft, headers=ids + [(b"Authorization", b"Bearer s3cret")])
        self.assertEqual(status, 200, answer)
        stored = [json.loads(row[0]) for row in self.store.db.execute("SELECT headers FROM requests")]
        self.assertNotIn("s3cret", json.dumps(stored))
        self.assertIn(["Authorization", "Bearer <redacted>"], stored[-1])
        # Polls and telemetry are authenticated by their signature alone: the plugin sends no token there.
        self.assertEqual(self.poll(b"cs16-alpha-srv-1-3-1000")[0], 200)


class AllowedServers(BackendTestCase):
    config_options = {"server_ids": ["srv-1"]}

    def test_other_server_ids_are_refused(self):
        body, headers, _, _, _ = heartbeat(server_id=b"srv-9")
        status, answer = self.send("heartbeat", body, headers)
        self.assertEqual((status, answer["reasons"]), (403, ["unknown_server"]))
        body, headers, _, _, _ = heartbeat()
        self.assertEqual(self.send("heartbeat", body, headers)[0], 200)


class Lenient(BackendTestCase):
    config_options = {"strict": False}

    def test_layout_is_not_checked_but_signatures_are(self):
        status, _ = self.post("heartbeat", b'{"nowMs": 5000, "serverId": "srv-1", "roundNumber": 3}')
        self.assertEqual(status, 200)
        body, headers, _, _, _ = heartbeat()
        status, answer = self.send("heartbeat", flip(body, b'"signature":"hmac-sha256:'), headers)
        self.assertEqual((status, answer["reasons"]), (401, ["bad_signature"]))

