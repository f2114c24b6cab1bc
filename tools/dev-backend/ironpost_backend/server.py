"""HTTP/1.1 front of the development backend: plugin endpoints, fault injection and admin views.

Every reply is written by hand (status line, headers, body) and the connection
is closed afterwards, as the plugin's client expects; writing the bytes
ourselves is also what lets a fault cut a reply at any byte.
"""

import email.utils
import http
import ipaddress
import json
import socket
import struct
import sys
import threading
import time
import traceback
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from .service import PLUGIN_PATHS, Outcome, now_ms, parse_scenario
from .store import summary_of

DEFAULT_MAX_BODY = 1024 * 1024
FAULT_MODES = ("503", "500-accepted", "slow", "close", "garbage", "endless", "reset", "drip", "hang", "refuse")
ENDLESS_DEFAULT_BYTES = 64 * 1024 * 1024
READ_ONLY_VIEWS = ("/admin/health", "/admin/decisions", "/admin/last", "/admin/summary")
GARBAGE_BODY = b"\x00\xff<html>not json\r\n\"accepted\":tru\x7f\x80{[" + bytes(range(0x80, 0x90))


class Fault:
    """One injected misbehaviour: which replies it spoils, how many, and its parameters."""

    def __init__(self, mode, path=None, count=None, delay_ms=3000, cut_bytes=None, seconds=30):
        if mode not in FAULT_MODES:
            raise ValueError("unknown fault mode " + json.dumps(mode) + "; expected one of " + ", ".join(FAULT_MODES))
        if path is not None and path not in PLUGIN_PATHS:
            raise ValueError("fault path must be a plugin endpoint, not " + json.dumps(path))
        for name, value in (("count", count), ("delay_ms", delay_ms), ("cut_bytes", cut_bytes),
                            ("seconds", seconds)):
            if value is not None and (type(value) is not int or value < 0):
                raise ValueError("fault " + name + " must be a non-negative integer")
        self.mode = mode
        self.path = path
        self.count = count
        self.delay_ms = delay_ms
        self.cut_bytes = cut_bytes
        self.seconds = seconds

    def describe(self):
        return {"mode": self.mode, "path": self.path, "count": self.count, "delayMs": self.delay_ms,
                "cutBytes": self.cut_bytes, "seconds": self.seconds}

    @classmethod
    def from_json(cls, obj):
        if not isinstance(obj, dict) or "mode" not in obj:
            raise ValueError("a fault is an object with a \"mode\"")
        known = {"mode": "mode", "path": "path", "count": "count", "delayMs": "delay_ms", "cutBytes": "cut_bytes",
                 "seconds": "seconds"}
        unknown = [name for name in obj if name not in known]
        if unknown:
            raise ValueError("unknown fault member " + ", ".join(unknown))
        return cls(**{known[name]: value for name, value in obj.items()})


def parse_fault_option(text):
    """Command-line form: MODE[,count=N][,path=/v1/plugin/...][,delay_ms=N][,cut_bytes=N][,seconds=N]."""
    parts = [part.strip() for part in text.split(",") if part.strip()]
    if not parts:
        raise ValueError("empty fault")
    options = {}
    for part in parts[1:]:
        name, sep, value = part.partition("=")
        if not sep or name not in ("count", "path", "delay_ms", "cut_bytes", "seconds"):
            raise ValueError("bad fault option " + json.dumps(part))
        options[name] = value if name == "path" else _int_option(name, value)
    return Fault(parts[0], **options)


def _int_option(name, value):
    if not value.isdigit():
        raise ValueError("fault option " + name + " must be a non-negative integer")
    return int(value)


class FaultBook:
    """Active faults; the first one whose path matches spoils the reply and uses up one of its count."""

    def __init__(self, faults=()):
        self.lock = threading.Lock()
        self.faults = list(faults)

    def add(self, fault):
        with self.lock:
            self.faults.append(fault)

    def clear(self):
        with self.lock:
            self.faults = []

    def describe(self):
        with self.lock:
            return [fault.describe() for fault in self.faults]

    def take(self, path):
        with self.lock:
            for fault in self.faults:
                if fault.path is None or fault.path == path:
                    if fault.count is not None:
                        fault.count -= 1
                        if fault.count <= 0:
                            self.faults.remove(fault)
                    return fault
        return None


class HttpProblem(Exception):
    def __init__(self, status, message, reason="bad_request"):
        super().__init__(message)
        self.status = status
        self.message = message
        self.reason = reason


class DevBackendServer(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64

    def __init__(self, address, backend, faults=None, max_body=DEFAULT_MAX_BODY, quiet=False):
        if ":" in address[0]:
            self.address_family = socket.AF_INET6
        self.backend = backend
        self.faults = faults or FaultBook()
        self.max_body = max_body
        self.quiet = quiet
        super().__init__(address, Handler)

    @property
    def bound(self):
        host, port = self.server_address[:2]
        return ("[%s]" % host if ":" in host else host), port


def redact_credentials(headers, auth_header):
    """The headers as they are stored: a header that carries a credential keeps only its scheme."""
    secret = {"authorization", auth_header.lower()}
    return [(name, ("Bearer <redacted>" if value.startswith("Bearer ") else "<redacted>")
             if name.lower() in secret else value) for name, value in headers]


def reply_bytes(status, body, content_type="application/json", content_length=True):
    try:
        phrase = http.HTTPStatus(status).phrase
    except ValueError:
        phrase = "Status"
    lines = ["HTTP/1.1 %d %s" % (status, phrase), "Server: IronPostDevBackend/1",
             "Date: " + email.utils.formatdate(usegmt=True), "Content-Type: " + content_type]
    if content_length:
        lines.append("Content-Length: %d" % len(body))
    lines.append("Connection: close")
    return ("\r\n".join(lines) + "\r\n\r\n").encode("ascii") + body


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "IronPostDevBackend/1"
    # A client that stops sending or reading cannot hold a server thread for longer than this.
    timeout = 15

    def do_GET(self):
        self._serve()

    do_POST = do_PUT = do_DELETE = do_PATCH = do_HEAD = do_OPTIONS = do_GET

    def log_message(self, format, *args):
        if not self.server.quiet:
            sys.stderr.write("%s %s\n" % (self.address_string(), format % args))

    def send_error(self, code, message=None, explain=None):
        # Malformed request lines and headers end here; answer in JSON like every other refusal.
        self.close_connection = True
        text = message or http.HTTPStatus(code).phrase
        try:
            self._write(code, json.dumps({"accepted": False, "statusCode": code, "errors": [text]}).encode())
        except OSError:
            pass

    def _write(self, status, body, content_type="application/json"):
        self.close_connection = True
        self.log_request(status)
        self.wfile.write(reply_bytes(status, body, content_type))
        self.wfile.flush()

    def _serve(self):
        self.close_connection = True
        self._unread_body = False
        try:
            self._route()
            if self._unread_body:
                self._drain_input()
        except HttpProblem as problem:
            self._write(problem.status, json.dumps({"accepted": False, "statusCode": problem.status,
                                                    "errors": [problem.message]}).encode())
        except (BrokenPipeError, ConnectionResetError, socket.timeout):
            pass
        except Exception:
            traceback.print_exc(file=sys.stderr)
            try:
                self._write(500, b'{"accepted":false,"statusCode":500,"errors":["internal backend error"]}')
            except OSError:
                pass

    def _drain_input(self):
        # Closing with unread request bytes makes the kernel send a reset that can destroy our reply
        # before the client reads it; end our side first and let the client finish sending.
        self.connection.shutdown(socket.SHUT_WR)
        self.connection.settimeout(2)
        discarded = 0
        while discarded < 64 * self.server.max_body:
            data = self.connection.recv(65536)
            if not data:
                break
            discarded += len(data)

    def _read_body(self):
        if self.headers.get_all("Transfer-Encoding"):
            raise HttpProblem(411, "request body must be sent with Content-Length, not a transfer encoding",
                              "length_required")
        lengths = self.headers.get_all("Content-Length") or []
        if not lengths:
            if self.command in ("POST", "PUT", "PATCH"):
                raise HttpProblem(411, "Content-Length is required", "length_required")
            return b""
        if len(lengths) != 1 or not lengths[0].strip().isdigit():
            raise HttpProblem(400, "Content-Length is not a single decimal number")
        length = int(lengths[0].strip())
        if length > self.server.max_body:
            self._unread_body = True
            raise HttpProblem(413, "request body exceeds %d bytes" % self.server.max_body, "body_too_large")
        body = self.rfile.read(length)
        if len(body) != length:
            raise HttpProblem(400, "request body ended before Content-Length bytes arrived")
        return body

    def _route(self):
        url = urllib.parse.urlsplit(self.path)
        if url.path.startswith("/admin/") or url.path == "/admin":
            body = self._read_body()
            return self._admin(url, body)
        received = now_ms()
        headers = list(self.headers.items())
        fault = None
        try:
            body = self._read_body()
        except HttpProblem as problem:
            # Still recorded: the operator should see refused uploads too.
            body = None
            outcome = Outcome(problem.status, {"accepted": False, "statusCode": problem.status,
                                               "errors": [problem.message], "reasons": [problem.reason]},
                              False, [problem.reason], [problem.message])
        else:
            fault = self.server.faults.take(url.path) if url.path in PLUGIN_PATHS else None
        if body is None:
            pass
        elif fault is not None and fault.mode == "refuse":
            # Nothing processed and not a byte answered: the connection is reset, as when nothing listens.
            return self._reset()
        elif fault is not None and fault.mode == "503":
            # Refused before any processing, like an overloaded gateway.
            outcome = Outcome(503, {"accepted": False, "statusCode": 503,
                                    "errors": ["backend is unavailable (injected fault)"]},
                              False, ["fault_503"], ["backend is unavailable (injected fault)"])
        else:
            outcome = self.server.backend.handle(self.command, url.path, headers, body)
        answer = outcome.body
        self.server.backend.store.record_request({
            "receivedMs": received, "method": self.command, "path": url.path, "peer": self.client_address[0],
            "headers": redact_credentials(headers, self.server.backend.config.auth_header), "body": body, "serverId": outcome.server_id, "requestId": outcome.request_id,
            "status": outcome.status, "accepted": outcome.accepted, "reasons": outcome.reasons,
            "errors": outcome.errors, "warnings": outcome.warnings, "fault": fault.mode if fault else None,
            "answer": answer})
        self._send_with_fault(fault, outcome.status, answer)

    def _send_with_fault(self, fault, status, answer):
        mode = fault.mode if fault else None
        if mode == "500-accepted":
            # Processed and recorded, but the reply claims a server error: the plugin must not trust the body.
            return self._write(500, answer)
        if mode == "slow":
            time.sleep(fault.delay_ms / 1000.0)
            return self._write(status, answer)
        if mode == "garbage":
            return self._write(200, GARBAGE_BODY, "application/json")
        if mode == "close":
            full = reply_bytes(status, answer)
            cut = len(full) // 2 if fault.cut_bytes is None else min(fault.cut_bytes, len(full) - 1)
            self.log_request(status)
            self.wfile.write(full[:cut])
            self.wfile.flush()
            self.connection.shutdown(socket.SHUT_RDWR)
            return None
        if mode == "endless":
            return self._send_endless(fault)
        if mode == "reset":
            full = reply_bytes(status, answer)
            cut = len(full) // 2 if fault.cut_bytes is None else min(fault.cut_bytes, len(full) - 1)
            self.wfile.write(full[:cut])
            self.wfile.flush()
            return self._reset()
        if mode == "drip":
            return self._send_drip(fault, reply_bytes(status, answer))
        if mode == "hang":
            # Processed, never answered: held until the client gives up or `seconds` pass.
            self.connection.settimeout(fault.seconds)
            try:
                while self.connection.recv(4096):
                    pass
            except OSError:
                pass
            self.close_connection = True
            return None
        return self._write(status, answer)

    def _reset(self):
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.connection.close()
        self.close_connection = True
        return None

    def _send_drip(self, fault, full):
        # One byte every delay_ms (default 3000 makes a reply take minutes), until the client hangs up.
        try:
            for i in range(len(full)):
                self.wfile.write(full[i:i + 1])
                self.wfile.flush()
                time.sleep(fault.delay_ms / 1000.0)
        except OSError:
            self.close_connection = True

    def _send_endless(self, fault):
        self.log_request(200)
        self.wfile.write(reply_bytes(200, b"", content_length=False))
        self.wfile.write(b'{"accepted":true,"errors":["')
        chunk = b"x" * 65536
        deadline = time.monotonic() + fault.seconds
        limit = ENDLESS_DEFAULT_BYTES if fault.cut_bytes is None else fault.cut_bytes
        sent = 0
        # Bounded in time and bytes: a client that buffers everything it reads would otherwise be
        # fed gigabytes per second over loopback, and a client that never hangs up would hold this thread.
        while time.monotonic() < deadline and sent < limit:
            self.wfile.write(chunk)
            sent += len(chunk)
        self.wfile.flush()

    # --- admin ----------------------------------------------------------------------------

    def _admin(self, url, body):
        if not ipaddress.ip_address(self.client_address[0].split("%")[0]).is_loopback:
            raise HttpProblem(403, "admin endpoints answer only loopback clients")
        query = urllib.parse.parse_qs(url.query)
        store = self.server.backend.store
        # Read-only views also answer POST, so a test can ask with the plugin's own POST-only client.
        method = "GET" if self.command == "POST" and url.path in READ_ONLY_VIEWS else self.command
        route = (method, url.path)
        if route == ("GET", "/admin/health"):
            return self._admin_json({"ok": True})
        if route == ("GET", "/admin/decisions"):
            since = _query_int(query, "since", 0)
            limit = _query_int(query, "limit", 100)
            return self._admin_json({"decisions": store.decisions(since, max(1, min(limit, 1000)))})
        if route == ("GET", "/admin/last"):
            decisions = store.decisions(0, 1)
            return self._admin_json({"decision": decisions[0] if decisions else None})
        if route == ("GET", "/admin/summary"):
            with store.lock:
                return self._admin_json(summary_of(store.db))
        if url.path == "/admin/faults":
            faults = self.server.faults
            if self.command == "POST":
                try:
                    items = json.loads(body.decode("utf-8"))
                    for item in items if isinstance(items, list) else [items]:
                        faults.add(Fault.from_json(item))
                except (ValueError, TypeError) as error:
                    raise HttpProblem(400, "bad fault: " + str(error))
            elif self.command == "DELETE":
                faults.clear()
            elif self.command != "GET":
                raise HttpProblem(405, "use GET, POST or DELETE")
            return self._admin_json({"faults": faults.describe()})
        if route == ("POST", "/admin/scenario"):
            try:
                steps = parse_scenario(json.loads(body.decode("utf-8"))["scenario"])
            except (ValueError, TypeError, KeyError, AttributeError) as error:
                raise HttpProblem(400, "bad scenario: " + str(error))
            self.server.backend.config.scenario = tuple(steps)
            return self._admin_json({"scenario": steps})
        raise HttpProblem(404, "no such admin endpoint: " + self.command + " " + url.path)

    def _admin_json(self, obj):
        self._write(200, json.dumps(obj).encode("ascii"))


def _query_int(query, name, default):
    values = query.get(name)
    if not values:
        return default
    if not values[0].isdigit():
        raise HttpProblem(400, name + " must be a non-negative integer")
    return int(values[0])


def serve_in_thread(server):
    """Starts `server` on a daemon thread (used by tests and embedders); stop with `server.shutdown()`."""
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    thread.start()
    return thread
