"""Starts a backend on a free loopback port for one test and talks to it like the plugin does."""

import json
import time
import unittest
import urllib.request

from tests import plugin_side as ps
from ironpost_backend.server import DevBackendServer, FaultBook, serve_in_thread
from ironpost_backend.service import Backend, BackendConfig
from ironpost_backend.store import Store

KEY = b"test-key-\x00\xff-with-odd-bytes"
SERVER = b"srv-1"
PATHS = {
    "settlement": b"/v1/plugin/settlements", "submission-status": b"/v1/plugin/submission-status",
    "player-balances": b"/v1/plugin/player-balances", "heartbeat": b"/v1/plugin/heartbeat",
    "round-events": b"/v1/plugin/round-events", "game-state": b"/v1/plugin/game-state",
}


def now_ms():
    return time.time_ns() // 1_000_000


class BackendTestCase(unittest.TestCase):
    config_options = {}
    wallets = ()

    def setUp(self):
        # An in-memory ledger keeps the suite fast; the command-line tests use real files.
        self.store = Store(":memory:")
        if self.wallets:
            self.store.load_wallets(list(self.wallets))
        self.config = BackendConfig(KEY, **self.config_options)
        self.server = DevBackendServer(("127.0.0.1", 0), Backend(self.config, self.store), FaultBook(),
                                       max_body=64 * 1024, quiet=True)
        self.port = self.server.server_address[1]
        self.thread = serve_in_thread(self.server)

    def tearDown(self):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join(5)
        self.store.close()

    # --- requests as the plugin builds them --------------------------------------------------

    def fresh_ts(self):
        """The clock in ms, but never the same value twice: two requests in one ms would share a nonce."""
        self.last_ts = max(now_ms(), getattr(self, "last_ts", 0) + 1)
        return self.last_ts

    def post(self, label, payload, request_id=None, server_id=SERVER, ts=None, headers=None, key=KEY, **kw):
        ts = self.fresh_ts() if ts is None else ts
        request_id = request_id or (label.encode() + b"-" + server_id + b"-" + ps.num(ts))
        body = ps.envelope(key, server_id, request_id, ts, payload, label.encode())
        if headers is None:
            headers = [(b"X-IronPost-Server-Id", server_id), (b"X-IronPost-Request-Id", request_id)]
        return self.send(label, body, headers, **kw)

    def send(self, label, body, headers, **kw):
        status, answer, raw = ps.http_post(self.port, PATHS[label], body, headers, **kw)
        return status, (json.loads(answer.decode("latin-1"), strict=False) if answer.startswith(b"{") else answer)

    def settle(self, draft, request_id=b"cs16-alpha-srv-1-3-1000", received_at=b"unix-ms:1000", canonical=True,
               sign=True, **kw):
        signed = ps.sign_draft(draft, KEY) if sign else draft
        body, canonical_body = ps.intake_bodies(request_id, received_at, signed)
        return self.post("settlement", canonical_body if canonical else body, request_id=request_id, **kw)

    def poll(self, settlement_id, server_id=SERVER):
        ts = self.fresh_ts()
        request_id = settlement_id + b"-status-" + ps.num(ts)
        return self.post("submission-status", ps.status_payload(ts, settlement_id, server_id),
                         request_id=request_id, ts=ts)

    # --- admin views ------------------------------------------------------------------------

    def admin(self, path, data=None, method=None):
        request = urllib.request.Request("http://127.0.0.1:%d%s" % (self.port, path), data=data, method=method)
        with urllib.request.urlopen(request, timeout=5) as reply:
            return json.loads(reply.read())

    def last(self):
        return self.admin("/admin/last")["decision"]

    def add_fault(self, **fault):
        return self.admin("/admin/faults", json.dumps(fault).encode(), "POST")
