"""Injected faults: each spoils exactly the replies it was asked to, and the ledger stays sound."""

import json
import socket
import time
import unittest

from ironpost_backend.server import Fault, parse_fault_option
from tests import plugin_side as ps
from tests.harness import KEY, SERVER, BackendTestCase, now_ms

RID = b"cs16-alpha-srv-1-3-1000"


class Faults(BackendTestCase):
    def settlement_request(self):
        signed = ps.sign_draft(ps.make_draft(reward_entries=[ps.reward(1, b"STEAM_0:1:1", 50)]), KEY)
        _, payload = ps.intake_bodies(RID, b"unix-ms:1", signed)
        body = ps.envelope(KEY, SERVER, RID, now_ms(), payload, b"settlement")
        return body, [(b"X-IronPost-Server-Id", SERVER), (b"X-IronPost-Request-Id", RID)]

    def rewards_counted(self):
        return self.store.db.execute("SELECT COUNT(*) FROM ledger").fetchone()[0]

    def test_503_refuses_without_processing(self):
        self.add_fault(mode="503", count=1)
        body, headers = self.settlement_request()
        status, answer = self.send("settlement", body, headers)
        self.assertEqual((status, answer["accepted"]), (503, False))
        self.assertEqual((self.last()["fault"], self.rewards_counted()), ("503", 0))
        self.assertEqual(self.send("settlement", body, headers)[0], 200)  # the fault is used up

    def test_500_with_accepted_body_then_retry_counts_once(self):
        self.add_fault(mode="500-accepted", count=1, path="/v1/plugin/settlements")
        body, headers = self.settlement_request()
        status, answer = self.send("settlement", body, headers)
        self.assertEqual((status, answer["accepted"]), (500, True))
        status, answer = self.send("settlement", body, headers)
        self.assertEqual((status, answer.get("duplicate")), (200, True))
        self.assertEqual(self.rewards_counted(), 1)

    def test_fault_limited_to_one_path_leaves_others_alone(self):
        self.add_fault(mode="503", path="/v1/plugin/settlements")
        self.assertEqual(self.post("heartbeat", ps.heartbeat_payload(1, 1, SERVER))[0], 200)
        body, headers = self.settlement_request()
        self.assertEqual(self.send("settlement", body, headers)[0], 503)
        self.assertEqual(self.send("settlement", body, headers)[0], 503)  # no count: until cleared
        self.admin("/admin/faults", method="DELETE")
        self.assertEqual(self.send("settlement", body, headers)[0], 200)

    def test_slow_reply_outlasts_a_short_client_timeout(self):
        self.add_fault(mode="slow", delayMs=400, count=2)
        body, headers = self.settlement_request()
        with self.assertRaises(socket.timeout):
            ps.http_post(self.port, b"/v1/plugin/settlements", body, headers, timeout=0.1)
        started = time.monotonic()
        status, answer = self.send("settlement", body, headers)
        self.assertGreaterEqual(time.monotonic() - started, 0.4)
        self.assertEqual((status, answer["duplicate"]), (200, True))  # the first try was processed

    def test_connection_closed_mid_reply(self):
        body, headers = self.settlement_request()
        for cut in (20, None):
            with self.subTest(cut=cut):
                self.add_fault(mode="close", count=1, **({"cutBytes": cut} if cut else {}))
                status, reply_body, raw = ps.http_post(self.port, b"/v1/plugin/settlements", body, headers)
                declared = int(raw.split(b"Content-Length: ")[1].split(b"\r\n")[0]) if cut is None else None
                if cut == 20:
                    self.assertEqual(len(raw), 20)
                    self.assertEqual(reply_body, b"")
                else:
                    self.assertEqual(status, 200)
                    self.assertLess(len(reply_body), declared)

    def test_garbage_body(self):
        self.add_fault(mode="garbage", count=1)
        status, reply_body, _ = ps.http_post(self.port, b"/v1/plugin/heartbeat", b"{}", [])
        self.assertEqual(status, 200)
        with self.assertRaises(ValueError):
            json.loads(reply_body)

    def test_endless_body_does_not_block_the_server(self):
        self.add_fault(mode="endless", count=1, seconds=5)
        body, headers = self.settlement_request()
        limit = 1 << 20
        status, reply_body, raw = ps.http_post(self.port, b"/v1/plugin/settlements", body, headers, max_bytes=limit)
        self.assertEqual(status, 200)
        self.assertGreaterEqual(len(raw), limit)
        self.assertNotIn(b"Content-Length", raw.split(b"\r\n\r\n")[0])
        self.assertEqual(self.post("heartbeat", ps.heartbeat_payload(1, 1, SERVER))[0], 200)

    def test_bad_admin_faults_are_refused(self):
        for fault in ({"mode": "teapot"}, {"mode": "503", "count": -1}, {"mode": "503", "path": "/elsewhere"},
                      {"mode": "503", "colour": "red"}, ["not an object"]):
            with self.subTest(fault):
                status, reply_body, _ = ps.raw_exchange(
                    self.port, b"POST /admin/faults HTTP/1.1\r\nContent-Length: %d\r\n\r\n%s"
                    % (len(json.dumps(fault)), json.dumps(fault).encode()))
                self.assertEqual(status, 400, reply_body)
        self.assertEqual(self.admin("/admin/faults")["faults"], [])


class FaultOptions(unittest.TestCase):
    def test_command_line_form(self):
        fault = parse_fault_option("slow,count=2,path=/v1/plugin/heartbeat,delay_ms=50")
        self.assertEqual(fault.describe(), {"mode": "slow", "path": "/v1/plugin/heartbeat", "count": 2,
                                            "delayMs": 50, "cutBytes": None, "seconds": 30})
        for bad in ("", "nope", "503,count=x", "503,colour=red", "close,cut_bytes=-1"):
            with self.subTest(bad):
                with self.assertRaises(ValueError):
                    parse_fault_option(bad)
        with self.assertRaises(ValueError):
            Fault("endless", seconds="5")
