"""Verification of plugin requests and the backend's answers to them.

`Backend.handle` takes one HTTP request (method, path, headers, body) and
returns an `Outcome`: the HTTP status, the answer document and the decision
that is stored.  It never raises for bad input: every refusal is a 4xx answer
whose "errors" array says why, and whose "reasons" array carries one short
code per error for tests and tools.
"""

import datetime
import hmac
import json
import re
import threading
import time

from . import protocol as P
from .jsonwire import JsonWireError, answer_bytes, parse_object, parse_object_members, to_bytes

PLUGIN_PATHS = {
    "/v1/plugin/settlements": "settlement",
    "/v1/plugin/submission-status": "submission-status",
    "/v1/plugin/player-balances": "player-balances",
    "/v1/plugin/heartbeat": "heartbeat",
    "/v1/plugin/round-events": "round-events",
    "/v1/plugin/game-state": "game-state",
}

RELAY_STATUSES = ("not_submitted", "queued", "submitted", "included", "finalized", "failed")
SUBMITTED_STATUSES = ("submitted", "included", "finalized")
DEFAULT_SCENARIO = ("queued", "submitted", "included")

# Request-id prefixes the plugin uses for its periodic requests; a different
# prefix is not refused (it is not signed differently) but is noted as a warning.
TELEMETRY_PREFIXES = {"heartbeat": "heartbeat-", "player-balances": "player-balances-",
                      "round-events": "round-events-", "game-state": "game-state-"}

GAME_STATE_ORDER = ("backendWorker", "buildId", "eventSources", "nowMs", "players", "policy", "roundNumber",
                    "roundPhase", "serverId")

_AMOUNT = re.compile(r"(0|[1-9][0-9]*)\Z")
U32_MAX = (1 << 32) - 1
U64_MAX = (1 << 64) - 1
I32_MIN, I32_MAX = -(1 << 31), (1 << 31) - 1


class Refusal(Exception):
    def __init__(self, status, reason, message):
        super().__init__(message)
        self.status = status
        self.reason = reason
        self.message = message


class Refusals(Exception):
    """Several independent problems found in one request."""

    def __init__(self, items):
        super().__init__("; ".join(item.message for item in items))
        self.items = items


class Outcome:
    def __init__(self, status, answer, accepted, reasons=(), errors=(), warnings=(), request_id=None,
                 server_id=None):
        self.status = status
        self.answer = answer
        self.accepted = accepted
        self.reasons = list(reasons)
        self.errors = list(errors)
        self.warnings = list(warnings)
        self.request_id = request_id
        self.server_id = server_id

    @property
    def body(self):
        return answer_bytes(self.answer)


class BackendConfig:
    def __init__(self, key, token=None, auth_header="Authorization", server_id_header="X-IronPost-Server-Id",
                 request_id_header="X-IronPost-Request-Id", freshness_seconds=300, server_ids=(),
                 scenario=DEFAULT_SCENARIO, strict=True, currency_decimals=0):
        if not key:
            raise ValueError("the server key material is empty")
        self.key = key
        self.token = token
        self.auth_header = auth_header
        self.server_id_header = server_id_header
        self.request_id_header = request_id_header
        self.freshness_ms = int(freshness_seconds * 1000)
        self.server_ids = {s.encode("latin-1") for s in server_ids}
        self.scenario = tuple(parse_scenario(scenario))
        self.strict = strict
        self.currency_decimals = currency_decimals


def parse_scenario(scenario):
    steps = [s.strip() for s in (scenario.split(",") if isinstance(scenario, str) else scenario)]
    if not steps or any(step not in RELAY_STATUSES for step in steps):
        raise ValueError("scenario steps must be among " + ", ".join(RELAY_STATUSES))
    return steps


def now_ms():
    return time.time_ns() // 1_000_000


def iso_time(ms):
    stamp = datetime.datetime.fromtimestamp(ms / 1000.0, tz=datetime.timezone.utc)
    return stamp.strftime("%Y-%m-%dT%H:%M:%S.") + "%03dZ" % (ms % 1000)


def display_amount(atomic, decimals):
    if decimals <= 0:
        return str(atomic)
    scale = 10 ** decimals
    return "%d.%0*d" % (atomic // scale, decimals, atomic % scale)


def _latin(data):
    return data.decode("latin-1") if isinstance(data, bytes) else data


# --- value checks ---------------------------------------------------------------------


def _is_int(value):
    return type(value) is int


def check_value(value, kind, where):
    """A decoded JSON value checked against a wire kind; returns the bytes/int the formats use."""
    if kind in (P.TEXT, P.ROLE, P.AMOUNT):
        if not isinstance(value, str):
            raise Refusal(400, "bad_payload", where + " must be a string")
        data = _to_bytes(value, where)
        if kind == P.AMOUNT and (not _AMOUNT.match(value) or int(value) > U64_MAX):
            raise Refusal(400, "bad_payload", where + " must be a decimal amount without leading zeros")
        if kind == P.ROLE and value not in P.ROLE_NAMES:
            raise Refusal(400, "bad_payload", where + " must be one of " + ", ".join(P.ROLE_NAMES))
        return data
    if not _is_int(value):
        raise Refusal(400, "bad_payload", where + " must be an integer")
    low, high = {P.U32: (0, U32_MAX), P.I32: (I32_MIN, I32_MAX), P.U64: (0, U64_MAX)}[kind]
    if not low <= value <= high:
        raise Refusal(400, "bad_payload", where + " is out of range")
    return value


def _to_bytes(text, where):
    try:
        return to_bytes(text)
    except JsonWireError:
        raise Refusal(400, "bad_payload", where + " holds a character the plugin cannot send")


def check_members(obj, expected, where):
    """The object must carry exactly the expected members (order is checked by the canonical comparison)."""
    if not isinstance(obj, dict):
        raise Refusal(400, "bad_payload", where + " must be a JSON object")
    missing = [name for name in expected if name not in obj]
    extra = [name for name in obj if name not in expected]
    if missing:
        raise Refusal(400, "bad_payload", where + " lacks member " + ", ".join(json.dumps(m) for m in missing))
    if extra:
        raise Refusal(400, "bad_payload", where + " has unexpected member " + ", ".join(json.dumps(m) for m in extra))


def render_plain(value, string=P.narrow_string):
    """Compact rendering with the given string escaping, keeping the member order of the parsed value."""
    if value is True:
        return b"true"
    if value is False:
        return b"false"
    if _is_int(value):
        return str(value).encode("ascii")
    if isinstance(value, str):
        return string(value.encode("latin-1"))
    if isinstance(value, list):
        return b"[" + b",".join(render_plain(v, string) for v in value) + b"]"
    if isinstance(value, dict):
        return b"{" + b",".join(string(k.encode("latin-1")) + b":" + render_plain(v, string)
                                for k, v in value.items()) + b"}"
    raise Refusal(400, "bad_payload", "payload holds a value the plugin never sends")


# --- the backend ------------------------------------------------------------------------


class Envelope:
    def __init__(self, label, server_id, request_id, timestamp_ms, nonce, payload_hash, signature, payload_raw):
        self.label = label
        self.server_id = server_id
        self.request_id = request_id
        self.timestamp_ms = timestamp_ms
        self.nonce = nonce
        self.payload_hash = payload_hash
        self.signature = signature
        self.payload_raw = payload_raw


class Backend:
    def __init__(self, config, store, clock=now_ms):
        self.config = config
        self.store = store
        self.clock = clock
        # Settlement intake is check-then-insert; one lock keeps concurrent repeats from counting twice.
        self.settlement_lock = threading.Lock()

    # --- entry point ---------------------------------------------------------------

    def handle(self, method, path, headers, body):
        """One plugin request. `headers` is a list of (name, value) pairs; `body` is bytes."""
        label = PLUGIN_PATHS.get(path)
        if label is None:
            return self._refused(Refusal(404, "unknown_path", "no such endpoint: " + path))
        if method != "POST":
            return self._refused(Refusal(405, "method_not_allowed", path + " accepts only POST"))
        warnings = []
        envelope = None
        try:
            self._check_content_type(headers)
            if label == "settlement":
                self._check_bearer_token(headers)
            envelope, issues = self.verify_envelope(label, headers, body)
            now = self.clock()
            if issues:
                stale_repeat = (label == "settlement" and all(i.reason == "stale_timestamp" for i in issues)
                                and self._is_known_settlement(envelope))
                if not stale_repeat:
                    raise Refusals(issues)
                warnings.append("stale envelope accepted as a repeat of a known settlement")
            handler = getattr(self, "_handle_" + label.replace("-", "_"))
            outcome = handler(envelope, now, warnings)
            outcome.warnings = warnings + outcome.warnings
            return outcome
        except Refusal as refusal:
            return self._refused(refusal, warnings=warnings, context=envelope)
        except Refusals as refusals:
            return self._refused(*refusals.items, warnings=warnings, context=envelope)

    def _refused(self, *refusals, warnings=(), context=None):
        status = refusals[0].status
        answer = {"accepted": False, "statusCode": status}
        request_id = server_id = None
        if context is not None:
            request_id, server_id = _latin(context.request_id), _latin(context.server_id)
            answer["requestId"] = context.request_id
        answer["errors"] = [r.message for r in refusals]
        answer["reasons"] = [r.reason for r in refusals]
        return Outcome(status, answer, False, [r.reason for r in refusals], [r.message for r in refusals],
                       warnings, request_id, server_id)

    def _accepted(self, envelope, answer, warnings=(), reasons=("accepted",), status=200):
        return Outcome(status, answer, True, reasons, [], warnings, _latin(envelope.request_id),
                       _latin(envelope.server_id))

    # --- transport-level checks -------------------------------------------------------

    @staticmethod
    def _header_values(headers, name):
        lowered = name.lower()
        return [value for key, value in headers if key.lower() == lowered]

    def _check_content_type(self, headers):
        values = self._header_values(headers, "Content-Type")
        media = values[0].split(";")[0].strip().lower() if len(values) == 1 else ""
        if media != "application/json":
            raise Refusal(415, "bad_content_type", "content type must be application/json")

    def _check_bearer_token(self, headers):
        if not self.config.token:
            return
        values = self._header_values(headers, self.config.auth_header)
        if not values:
            raise Refusal(401, "missing_token", "bearer token is missing from header " + self.config.auth_header)
        expected = ("Bearer " + self.config.token).encode("latin-1")
        if len(values) != 1 or not hmac.compare_digest(values[0].strip().encode("latin-1", "replace"), expected):
            raise Refusal(401, "bad_token", "bearer token is not valid")

    # --- envelope -------------------------------------------------------------------------

    def verify_envelope(self, label, headers, body):
        """The envelope's fields and every problem found with them; structural problems raise at once."""
        try:
            members = parse_object_members(body)
        except JsonWireError as error:
            raise Refusal(400, "bad_json", "request body is not a valid JSON object: " + str(error))
        fields = {}
        raw_payload = None
        for name, value, start, end in members:
            if name in fields:
                raise Refusal(400, "bad_json", "envelope member " + json.dumps(name) + " appears more than once")
            fields[name] = value
            if name == "payload":
                raw_payload = body[start:end]
        kinds = (("protocol", str), ("serverId", str), ("requestId", str), ("timestampMs", int), ("nonce", str),
                 ("payloadHash", str), ("signature", str), ("payload", dict))
        problems = []
        for name, kind in kinds:
            if name not in fields:
                problems.append(Refusal(400, "missing_member", "envelope member " + json.dumps(name) + " is missing"))
            elif not (_is_int(fields[name]) if kind is int else isinstance(fields[name], kind)):
                what = {str: "a string", int: "an integer", dict: "a JSON object"}[kind]
                problems.append(Refusal(400, "bad_member", "envelope member " + json.dumps(name) + " must be " + what))
        if problems:
            raise Refusals(problems)
        text = {name: _to_bytes(fields[name], "envelope member " + json.dumps(name))
                for name in ("protocol", "serverId", "requestId", "nonce", "payloadHash", "signature")}
        envelope = Envelope(label, text["serverId"], text["requestId"], fields["timestampMs"], text["nonce"],
                            text["payloadHash"], text["signature"], raw_payload)
        issues = []
        if fields["protocol"] != P.ENVELOPE_PROTOCOL:
            issues.append(Refusal(400, "wrong_protocol", "envelope protocol must be " + P.ENVELOPE_PROTOCOL))
        if not envelope.server_id or not envelope.request_id:
            issues.append(Refusal(400, "bad_member", "envelope serverId and requestId must not be empty"))
        if not 0 < envelope.timestamp_ms <= U64_MAX:
            issues.append(Refusal(400, "bad_member", "envelope timestampMs must be a positive 64-bit number"))
        if envelope.payload_hash != P.payload_hash_of(raw_payload):
            issues.append(Refusal(400, "payload_hash_mismatch",
                                  "envelope payloadHash does not match the SHA-256 of the payload bytes"))
        if envelope.nonce != P.derive_nonce(label.encode("ascii"), envelope.request_id, envelope.timestamp_ms):
            issues.append(Refusal(400, "bad_nonce", "envelope nonce is not the one derived from its request id, "
                                                    "time stamp and the label " + json.dumps(label)))
        signing_text = P.envelope_signing_text(envelope.server_id, envelope.request_id, envelope.timestamp_ms,
                                               envelope.nonce, envelope.payload_hash)
        expected_signature = P.sign_envelope_text(self.config.key, signing_text).encode("ascii")
        if not hmac.compare_digest(envelope.signature, expected_signature):
            issues.append(Refusal(401, "bad_signature", "envelope signature does not verify with the server key"))
        issues.extend(self._check_identity_headers(headers, envelope))
        if self.config.server_ids and envelope.server_id not in self.config.server_ids:
            issues.append(Refusal(403, "unknown_server", "server id is not served by this backend"))
        if self.config.strict and not issues:
            canonical = P.render_envelope(envelope.server_id, envelope.request_id, envelope.timestamp_ms,
                                          envelope.nonce, envelope.payload_hash, envelope.signature, raw_payload)
            if canonical != body:
                issues.append(Refusal(400, "non_canonical_envelope",
                                      "envelope is not written compactly with its members in protocol order"))
        drift = self.clock() - envelope.timestamp_ms
        if abs(drift) > self.config.freshness_ms:
            issues.append(Refusal(401, "stale_timestamp",
                                  "envelope time stamp is %d ms %s the backend clock; at most %d ms are accepted"
                                  % (abs(drift), "behind" if drift > 0 else "ahead of", self.config.freshness_ms)))
        return envelope, issues

    def _check_identity_headers(self, headers, envelope):
        issues = []
        for header, value, field in ((self.config.server_id_header, envelope.server_id, "serverId"),
                                     (self.config.request_id_header, envelope.request_id, "requestId")):
            values = self._header_values(headers, header)
            if not values:
                issues.append(Refusal(400, "header_mismatch", "header " + header + " is missing"))
            elif len(values) != 1 or values[0].encode("latin-1", "replace") != value:
                issues.append(Refusal(400, "header_mismatch",
                                      "header " + header + " does not match the envelope " + field))
        return issues

    def _claim_nonce(self, envelope, now):
        # Called once a request has passed every check, just before it changes anything: a replay inside
        # the freshness window is the only replay that passes the time check, and a refused request
        # should not use up its nonce.
        forget_before = now - 2 * self.config.freshness_ms
        if not self.store.claim_nonce(envelope.server_id, envelope.nonce, envelope.timestamp_ms, forget_before):
            raise Refusal(409, "nonce_replay", "envelope nonce was already used")

    def _payload(self, envelope):
        try:
            return parse_object(envelope.payload_raw)
        except JsonWireError as error:
            raise Refusal(400, "bad_payload", "payload: " + str(error))

    def _check_payload_server(self, payload_server_id, envelope, telemetry=False):
        # Telemetry strings are valid UTF-8, so an id with ill-formed bytes arrives with U+FFFD in them.
        expected = P.telemetry_text(envelope.server_id) if telemetry else envelope.server_id
        if payload_server_id != expected:
            raise Refusal(400, "server_id_mismatch", "payload serverId does not match the envelope serverId")

    def _check_plain_form(self, payload, envelope, string=P.narrow_string):
        if self.config.strict and render_plain(payload, string) != envelope.payload_raw:
            raise Refusal(400, "non_canonical_payload",
                          "payload is not written compactly with its members in protocol order")

    def _check_order(self, obj, order, where):
        if self.config.strict and tuple(obj) != tuple(order):
            raise Refusal(400, "non_canonical_payload", where + " members are not in protocol order")

    # --- settlements ------------------------------------------------------------------------

    def _is_known_settlement(self, envelope):
        if envelope is None:
            return False
        row = self.store.settlement(envelope.request_id)
        return row is not None and row["payload_hash"] == _latin(envelope.payload_hash)

    def validate_draft(self, draft):
        """The draft with strings as bytes and numbers as ints, or a refusal naming the first bad member."""
        names = [name for _, name, _ in P.DRAFT_HEADER] + [s["json"] for s in P.ENTRY_LISTS] + ["serverSignature"]
        check_members(draft, names, "draft")
        result = {}
        for name, kind in P.DRAFT_KINDS.items():
            result[name] = check_value(draft[name], kind, "draft." + name)
        for layout in P.ENTRY_LISTS:
            entries = draft[layout["json"]]
            if not isinstance(entries, list):
                raise Refusal(400, "bad_payload", "draft." + layout["json"] + " must be an array")
            checked = []
            for index, entry in enumerate(entries):
                where = "draft.%s[%d]" % (layout["json"], index)
                check_members(entry, layout["body"], where)
                checked.append({member: check_value(entry[member], P.ENTRY_KINDS[layout["json"]][member],
                                                    where + "." + member) for member in layout["body"]})
            result[layout["json"]] = checked
        return result

    def _handle_settlement(self, envelope, now, warnings):
        payload = self._payload(envelope)
        check_members(payload, ("draft", "receivedAt", "requestId"), "payload")
        request_id = check_value(payload["requestId"], P.TEXT, "payload.requestId")
        received_at = check_value(payload["receivedAt"], P.TEXT, "payload.receivedAt")
        if request_id != envelope.request_id:
            raise Refusal(400, "request_id_mismatch", "payload requestId does not match the envelope requestId")
        if not received_at:
            raise Refusal(400, "bad_payload", "payload.receivedAt must not be empty")
        draft = self.validate_draft(payload["draft"])
        self._check_payload_server(draft["serverId"], envelope)
        if self.config.strict and envelope.payload_raw not in (
                P.render_settlement_payload(request_id, received_at, draft, canonical=True),
                P.render_settlement_payload(request_id, received_at, draft, canonical=False)):
            raise Refusal(400, "non_canonical_payload", "settlement payload is not in canonical form")
        empty = [name for name in ("serverId", "sessionId", "mapNameHash", "previousRoundHash", "rosterRoot",
                                   "configHash") if not draft[name]]
        if empty or draft["roundNumber"] == 0:
            raise Refusal(422, "incomplete_draft", "settlement draft is incomplete: "
                          + ", ".join(empty + (["roundNumber"] if draft["roundNumber"] == 0 else []))
                          + " must be set")
        expected = P.sign_settlement_payload(self.config.key, P.build_signing_payload(draft)).encode("ascii")
        if not hmac.compare_digest(draft["serverSignature"], expected):
            raise Refusal(422, "bad_draft_signature",
                          "settlement draft signature does not match its canonical signing payload")
        for index, entry in enumerate(draft["weaponSpendEntries"]):
            if entry["roundNumber"] != draft["roundNumber"]:
                warnings.append("weapon spend %d names round %d in a draft of round %d"
                                % (index, entry["roundNumber"], draft["roundNumber"]))
        with self.settlement_lock:
            existing = self.store.settlement(envelope.request_id)
            if existing is not None:
                return self._repeat_settlement(existing, envelope, warnings)
            row = self._new_settlement(envelope, draft, received_at, now)
            self.store.insert_settlement(row, self._ledger_rows(envelope.request_id, draft))
            return self._accepted(envelope, self._settlement_answer(self.store.settlement(envelope.request_id)))

    def _repeat_settlement(self, existing, envelope, warnings):
        if existing["payload_hash"] != _latin(envelope.payload_hash):
            raise Refusal(409, "request_id_conflict",
                          "request id was already used for a different settlement")
        fields = {"repeats": existing["repeats"] + 1}
        if existing["relay_status"] == "failed":
            # Sending a failed settlement again is the plugin's retry: relay it again.
            fields.update(self._advance(existing))
        self.store.update_settlement(envelope.request_id, **fields)
        row = self.store.settlement(envelope.request_id)
        answer = self._settlement_answer(row, duplicate=True)
        return self._accepted(envelope, answer, reasons=("duplicate_request",))

    def _new_settlement(self, envelope, draft, received_at, now):
        scenario = list(self.config.scenario)
        row = {
            "request_id": _latin(envelope.request_id), "server_id": _latin(envelope.server_id),
            "session_id": _latin(draft["sessionId"]), "round_number": draft["roundNumber"],
            "plugin_received_at": _latin(received_at), "backend_received_at": iso_time(now),
            "payload_hash": _latin(envelope.payload_hash), "server_signature": _latin(draft["serverSignature"]),
            "draft": json.dumps(_jsonable(draft)), "scenario": json.dumps(scenario), "relay_index": 0,
            "relay_status": scenario[0], "extrinsic_hash": "", "submitted_at": "", "block_number": 0,
            "created_ms": now,
        }
        row.update(self._relay_fields(row, scenario[0]))
        return row

    @staticmethod
    def _ledger_rows(request_id, draft):
        rid = _latin(request_id)
        rows = []
        for entry in draft["rewardEntries"]:
            rows.append((rid, _latin(entry["steamId"]), "reward", _latin(entry["rewardZolt"]), "",
                         "slot=%d kills=%d damage=%d" % (entry["slot"], entry["kills"], entry["validDamage"])))
        for entry in draft["weaponSpendEntries"]:
            rows.append((rid, _latin(entry["steamId"]), "weapon_spend", _latin(entry["zoltCost"]), "",
                         _latin(entry["weaponId"])))
        for entry in draft["zoltTransferEntries"]:
            detail = "intent=%d" % entry["intentId"]
            rows.append((rid, _latin(entry["fromSteamId"]), "transfer_out", _latin(entry["amount"]),
                         _latin(entry["toSteamId"]), detail))
            rows.append((rid, _latin(entry["toSteamId"]), "transfer_in", _latin(entry["amount"]),
                         _latin(entry["fromSteamId"]), detail))
        return rows

    def _advance(self, row):
        scenario = json.loads(row["scenario"])
        index = min(row["relay_index"] + 1, len(scenario) - 1)
        status = scenario[index]
        fields = {"relay_index": index, "relay_status": status}
        fields.update(self._relay_fields(dict(row), status))
        return fields

    def _relay_fields(self, row, status):
        """What the simulated relay knows once a settlement reaches `status`."""
        fields = {}
        if status in SUBMITTED_STATUSES and not row["extrinsic_hash"]:
            fields["extrinsic_hash"] = "0x" + P.sha256_hex(
                b"extrinsic\n" + row["request_id"].encode("latin-1") + b"\n" + row["payload_hash"].encode("ascii"))
            fields["submitted_at"] = iso_time(self.clock())
        if status in ("included", "finalized") and not row["block_number"]:
            fields["block_number"] = self.store.chain_height() + 1
        return fields

    @staticmethod
    def _settlement_answer(row, duplicate=False):
        status = row["relay_status"]
        relay = {"extrinsicStatus": status}
        if row["extrinsic_hash"]:
            relay["extrinsicHash"] = row["extrinsic_hash"]
            relay["submittedAt"] = row["submitted_at"]
        if row["block_number"]:
            relay["blockNumber"] = row["block_number"]
        relay["errors"] = ["settlement relay reported the extrinsic as failed"] if status == "failed" else []
        answer = {"accepted": True, "statusCode": 200, "requestId": row["request_id"],
                  "receivedAt": row["backend_received_at"], "status": status, "relay": relay, "errors": []}
        if duplicate:
            answer["duplicate"] = True
        return answer

    # --- submission status -------------------------------------------------------------------

    def _handle_submission_status(self, envelope, now, warnings):
        payload = self._payload(envelope)
        check_members(payload, ("nowMs", "requestId", "serverId"), "payload")
        check_value(payload["nowMs"], P.U64, "payload.nowMs")
        settlement_id = check_value(payload["requestId"], P.TEXT, "payload.requestId")
        self._check_payload_server(check_value(payload["serverId"], P.TEXT, "payload.serverId"), envelope)
        self._check_order(payload, ("nowMs", "requestId", "serverId"), "payload")
        self._check_plain_form(payload, envelope)
        if not envelope.request_id.startswith(settlement_id + b"-status-"):
            warnings.append("status request id does not start with the settlement request id and \"-status-\"")
        self._claim_nonce(envelope, now)
        with self.settlement_lock:
            row = self.store.settlement(settlement_id)
            if row is None or row["server_id"] != _latin(envelope.server_id):
                raise Refusal(404, "unknown_settlement", "settlement request id is unknown")
            fields = {"polls": row["polls"] + 1}
            fields.update(self._advance(row))
            self.store.update_settlement(settlement_id, **fields)
            row = self.store.settlement(settlement_id)
        return self._accepted(envelope, self._settlement_answer(row))

    # --- player balances -------------------------------------------------------------------

    def _handle_player_balances(self, envelope, now, warnings):
        payload = self._payload(envelope)
        check_members(payload, ("nowMs", "players", "serverId"), "payload")
        check_value(payload["nowMs"], P.U64, "payload.nowMs")
        self._check_payload_server(check_value(payload["serverId"], P.TEXT, "payload.serverId"), envelope, True)
        if not isinstance(payload["players"], list):
            raise Refusal(400, "bad_payload", "payload.players must be an array")
        players = []
        for index, player in enumerate(payload["players"]):
            where = "payload.players[%d]" % index
            check_members(player, ("slot", "steamId"), where)
            self._check_order(player, ("slot", "steamId"), where)
            players.append((check_value(player["slot"], P.I32, where + ".slot"),
                            check_value(player["steamId"], P.TEXT, where + ".steamId")))
        self._check_order(payload, ("nowMs", "players", "serverId"), "payload")
        self._check_plain_form(payload, envelope, P.telemetry_string)
        self._warn_request_id(envelope, warnings)
        self._claim_nonce(envelope, now)
        height = self.store.chain_height()
        profiles = [self._profile(slot, steam_id, height) for slot, steam_id in players]
        self.store.record_telemetry("player-balances", envelope.server_id, envelope.request_id, now,
                                    envelope.payload_raw)
        # "players" comes first so that nothing echoed before it can confuse the plugin's member search.
        answer = {"accepted": True, "statusCode": 200, "players": profiles, "requestId": envelope.request_id,
                  "receivedAt": iso_time(now), "errors": []}
        return self._accepted(envelope, answer)

    def _profile(self, slot, steam_id, height):
        totals = self.store.balance(steam_id)
        pending = max(totals["net"], 0)
        wallet = self.store.wallet(steam_id)
        decimals = self.config.currency_decimals
        profile = {"slot": slot, "steamHash": P.sha256_hex(steam_id), "linked": wallet is not None,
                   "account": wallet["account"] if wallet else "", "pendingZoltAtomic": str(pending),
                   "pendingZolt": display_amount(pending, decimals)}
        if wallet is not None:
            balance = int(wallet["wallet_balance_atomic"])
            profile["walletBalanceAtomic"] = str(balance)
            profile["walletBalanceZolt"] = display_amount(balance, decimals)
        profile["sourceBlock"] = height
        return profile

    def _warn_request_id(self, envelope, warnings):
        prefix = TELEMETRY_PREFIXES[envelope.label].encode("ascii")
        expected = prefix + envelope.server_id + b"-" + str(envelope.timestamp_ms).encode("ascii")
        if envelope.request_id != expected:
            warnings.append("request id is not " + json.dumps(_latin(expected)))

    # --- telemetry ------------------------------------------------------------------------

    def _handle_heartbeat(self, envelope, now, warnings):
        payload = self._payload(envelope)
        check_members(payload, ("nowMs", "roundNumber", "serverId"), "payload")
        check_value(payload["nowMs"], P.U64, "payload.nowMs")
        check_value(payload["roundNumber"], P.U32, "payload.roundNumber")
        self._check_payload_server(check_value(payload["serverId"], P.TEXT, "payload.serverId"), envelope, True)
        self._check_order(payload, ("nowMs", "roundNumber", "serverId"), "payload")
        self._check_plain_form(payload, envelope, P.telemetry_string)
        self._warn_request_id(envelope, warnings)
        self._claim_nonce(envelope, now)
        self.store.record_telemetry("heartbeat", envelope.server_id, envelope.request_id, now, envelope.payload_raw)
        return self._accepted(envelope, self._telemetry_answer(envelope, now))

    def _handle_round_events(self, envelope, now, warnings):
        payload = self._payload(envelope)
        order = ("events", "nowMs", "roundNumber", "serverId", "sessionId")
        check_members(payload, order, "payload")
        check_value(payload["nowMs"], P.U64, "payload.nowMs")
        round_number = check_value(payload["roundNumber"], P.U32, "payload.roundNumber")
        self._check_payload_server(check_value(payload["serverId"], P.TEXT, "payload.serverId"), envelope, True)
        session_id = check_value(payload["sessionId"], P.TEXT, "payload.sessionId")
        if not isinstance(payload["events"], list):
            raise Refusal(400, "bad_payload", "payload.events must be an array")
        event_order = ("detail", "peerSlot", "sequence", "slot", "type", "value")
        kinds = {"detail": P.TEXT, "peerSlot": P.I32, "sequence": P.U64, "slot": P.I32, "type": P.TEXT,
                 "value": P.U64}
        rows = []
        for index, event in enumerate(payload["events"]):
            where = "payload.events[%d]" % index
            check_members(event, event_order, where)
            self._check_order(event, event_order, where)
            values = {name: check_value(event[name], kinds[name], where + "." + name) for name in event_order}
            rows.append((_latin(envelope.server_id), _latin(session_id), _latin(envelope.request_id), round_number,
                         values["sequence"], values["slot"], values["peerSlot"], _latin(values["type"]),
                         str(values["value"]), _latin(values["detail"])))
        self._check_order(payload, order, "payload")
        self._check_plain_form(payload, envelope, P.telemetry_string)
        self._warn_request_id(envelope, warnings)
        if session_id != P.telemetry_text(b"cs16-alpha:" + envelope.server_id):
            warnings.append("session id is not \"cs16-alpha:\" followed by the server id")
        self._claim_nonce(envelope, now)
        stored = self.store.record_round_events(rows)
        self.store.record_telemetry("round-events", envelope.server_id, envelope.request_id, now,
                                    envelope.payload_raw)
        answer = self._telemetry_answer(envelope, now)
        answer["eventsReceived"] = len(rows)
        answer["eventsStored"] = stored
        return self._accepted(envelope, answer)

    def _handle_game_state(self, envelope, now, warnings):
        payload = self._payload(envelope)
        check_members(payload, GAME_STATE_ORDER, "payload")
        self._check_payload_server(check_value(payload["serverId"], P.TEXT, "payload.serverId"), envelope, True)
        check_value(payload["nowMs"], P.U64, "payload.nowMs")
        check_value(payload["roundNumber"], P.U32, "payload.roundNumber")
        self._check_order(payload, GAME_STATE_ORDER, "payload")
        self._check_game_state_form(envelope)
        self._warn_request_id(envelope, warnings)
        self._claim_nonce(envelope, now)
        self.store.record_telemetry("game-state", envelope.server_id, envelope.request_id, now, envelope.payload_raw)
        return self._accepted(envelope, self._telemetry_answer(envelope, now))

    def _check_game_state_form(self, envelope):
        # "eventSources" is another module's document, carried as it is; every other member is telemetry's own.
        if not self.config.strict:
            return
        for name, value, start, end in parse_object_members(envelope.payload_raw):
            if name != "eventSources" and render_plain(value, P.telemetry_string) != envelope.payload_raw[start:end]:
                raise Refusal(400, "non_canonical_payload", "payload." + name + " is not written compactly "
                                                            "with its members in protocol order")

    @staticmethod
    def _telemetry_answer(envelope, now):
        return {"accepted": True, "statusCode": 200, "requestId": envelope.request_id, "receivedAt": iso_time(now),
                "errors": []}


def _jsonable(value):
    if isinstance(value, bytes):
        return value.decode("latin-1")
    if isinstance(value, dict):
        return {k: _jsonable(v) for k, v in value.items()}
    if isinstance(value, list):
        return [_jsonable(v) for v in value]
    return value
