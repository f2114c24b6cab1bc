"""Byte formats the plugin signs, rebuilt independently on the backend side.

Every string here is a byte string: the plugin treats texts as raw bytes (it
copies bytes >= 0x80 unchanged and never decodes UTF-8), so the backend decodes
request bodies as latin-1, which maps each byte to one code point and back.
"""

import hashlib
import hmac
import re

ENVELOPE_PROTOCOL = "ironpost-plugin-envelope-v2"
SETTLEMENT_DOMAIN = b"ironpost:settlement:v1"
SETTLEMENT_SIGNATURE_PREFIX = "dev-v1:"
ENVELOPE_SIGNATURE_PREFIX = "hmac-sha256:"
PAYLOAD_HASH_PREFIX = "sha256:"

FNV_OFFSET_BASIS = 0xCBF29CE484222325
FNV_PRIME = 0x100000001B3
U64_MASK = (1 << 64) - 1

ROLE_NAMES = ("terrorist", "counter_terrorist", "spectator", "unassigned")


def load_key_material(path):
    """Key file bytes less one trailing line break ("\\n" or "\\r\\n"), as the plugin reads it."""
    with open(path, "rb") as handle:
        data = handle.read()
    return strip_key_line_break(data)


def strip_key_line_break(data):
    if data.endswith(b"\n"):
        data = data[:-1]
        if data.endswith(b"\r"):
            data = data[:-1]
    return data


def sha256_hex(data):
    return hashlib.sha256(data).hexdigest()


def hmac_sha256_hex(key, message):
    return hmac.new(key, message, hashlib.sha256).hexdigest()


def fnv1a64(data):
    value = FNV_OFFSET_BASIS
    for byte in data:
        value ^= byte
        value = (value * FNV_PRIME) & U64_MASK
    return value


def sign_settlement_payload(key, payload):
    """The "dev-v1:" signature of a canonical settlement signing payload; "" without key or payload."""
    if not key or not payload:
        return ""
    return SETTLEMENT_SIGNATURE_PREFIX + format(fnv1a64(key + b"\n" + payload), "016x")


def sign_envelope_text(key, signing_text):
    if not key or not signing_text:
        return ""
    return ENVELOPE_SIGNATURE_PREFIX + hmac_sha256_hex(key, signing_text)


def derive_nonce(label, request_id, timestamp_ms):
    text = label + b"\n" + request_id + b"\n" + str(timestamp_ms).encode("ascii")
    return sha256_hex(text)[:32].encode("ascii")


def envelope_signing_text(server_id, request_id, timestamp_ms, nonce, payload_hash):
    return (b"protocol=" + ENVELOPE_PROTOCOL.encode("ascii")
            + b"\nserverId=" + server_id
            + b"\nrequestId=" + request_id
            + b"\ntimestampMs=" + str(timestamp_ms).encode("ascii")
            + b"\nnonce=" + nonce
            + b"\npayloadHash=" + payload_hash)


def payload_hash_of(payload_bytes):
    return (PAYLOAD_HASH_PREFIX + sha256_hex(payload_bytes)).encode("ascii")


# --- JSON string renderings -------------------------------------------------

_WIDE_ESCAPES = {0x5C: b"\\\\", 0x22: b'\\"', 0x08: b"\\b", 0x09: b"\\t",
                 0x0A: b"\\n", 0x0C: b"\\f", 0x0D: b"\\r"}
_NARROW_ESCAPES = {0x09: b"\\t", 0x0A: b"\\n", 0x0D: b"\\r", 0x22: b'\\"', 0x5C: b"\\\\"}


def json_string(data):
    """Settlement JSON string: every byte below 0x20 escaped, everything else raw."""
    out = bytearray(b'"')
    for byte in data:
        escape = _WIDE_ESCAPES.get(byte)
        if escape is not None:
            out += escape
        elif byte < 0x20:
            out += b"\\u00" + format(byte, "02x").encode("ascii")
        else:
            out.append(byte)
    out += b'"'
    return bytes(out)


def envelope_escape(data):
    """Envelope (and status poll) escaping: only tab, LF, CR, quote and backslash; other bytes raw."""
    out = bytearray()
    for byte in data:
        escape = _NARROW_ESCAPES.get(byte)
        if escape is not None:
            out += escape
        else:
            out.append(byte)
    return bytes(out)


def narrow_string(data):
    return b'"' + envelope_escape(data) + b'"'


def telemetry_text(data):
    """The bytes a telemetry string carries: each maximal ill-formed UTF-8 subpart replaced by U+FFFD."""
    return data.decode("utf-8", "replace").encode("utf-8")


def telemetry_string(data):
    """Telemetry JSON string: valid UTF-8, the narrow escapes, and "\\u00xx" for every other byte below 0x20."""
    return re.sub(rb"[\x00-\x1f]", lambda match: b"\\u%04x" % match.group()[0], narrow_string(telemetry_text(data)))


def render_number(value):
    return str(value).encode("ascii")


# --- Settlement draft layout -------------------------------------------------
#
# Each entry list has one table row per field: the signing-payload key, the
# JSON member name and the value kind.  The three renderings (signing payload,
# intake body, canonical body) list the same fields in different orders, and
# those orders are part of what the server signs.

U32, I32, U64, AMOUNT, TEXT, ROLE = "u32", "i32", "u64", "amount", "text", "role"

ENTRY_LISTS = (
    {
        "json": "rewardEntries", "signing": "reward_entries",
        "fields": (("slot", "slot", I32), ("steam_id", "steamId", TEXT), ("kills", "kills", U32),
                   ("valid_damage", "validDamage", U64), ("reward_zolt", "rewardZolt", AMOUNT)),
        "body": ("slot", "steamId", "kills", "validDamage", "rewardZolt"),
        "canonical": ("kills", "rewardZolt", "slot", "steamId", "validDamage"),
    },
    {
        "json": "weaponSpendEntries", "signing": "weapon_spend_entries",
        "fields": (("slot", "slot", I32), ("steam_id", "steamId", TEXT), ("weapon_id", "weaponId", TEXT),
                   ("zolt_cost", "zoltCost", AMOUNT), ("round_number", "roundNumber", U32)),
        "body": ("slot", "steamId", "weaponId", "zoltCost", "roundNumber"),
        "canonical": ("zoltCost", "roundNumber", "slot", "steamId", "weaponId"),
    },
    {
        "json": "zoltTransferEntries", "signing": "zolt_transfer_entries",
        "fields": (("intent_id", "intentId", U64), ("from_slot", "fromUserid", I32),
                   ("to_slot", "toUserid", I32), ("from_steam_id", "fromSteamId", TEXT),
                   ("to_steam_id", "toSteamId", TEXT), ("amount", "amount", AMOUNT),
                   ("target_role", "targetRole", ROLE), ("menu_nonce", "menuNonce", TEXT)),
        "body": ("intentId", "fromSteamId", "toSteamId", "amount", "fromUserid", "toUserid",
                 "targetRole", "menuNonce"),
        "canonical": ("amount", "fromSteamId", "fromUserid", "intentId", "menuNonce", "targetRole",
                      "toSteamId", "toUserid"),
    },
    {
        "json": "combatStatsEntries", "signing": "combat_stats_entries",
        "fields": (("steam_id", "steamId", TEXT), ("kills", "kills", U32), ("deaths", "deaths", U32),
                   ("headshots", "headshots", U32), ("shots_fired", "shotsFired", U32),
                   ("shots_hit", "shotsHit", U32), ("rounds_played", "roundsPlayed", U32)),
        "body": ("steamId", "kills", "deaths", "headshots", "shotsFired", "shotsHit", "roundsPlayed"),
        "canonical": ("deaths", "headshots", "kills", "roundsPlayed", "shotsFired", "shotsHit", "steamId"),
    },
    {
        "json": "rivalStatsEntries", "signing": "rival_stats_entries",
        "fields": (("attacker_steam_id", "attackerSteamId", TEXT), ("victim_steam_id", "victimSteamId", TEXT),
                   ("hits", "hits", U32), ("damage", "damage", U64), ("kills", "kills", U32)),
        "body": ("attackerSteamId", "victimSteamId", "hits", "damage", "kills"),
        "canonical": ("attackerSteamId", "damage", "hits", "kills", "victimSteamId"),
    },
)

# Identity members of the draft: (signing key, JSON member, kind).
DRAFT_HEADER = (("server_id", "serverId", TEXT), ("session_id", "sessionId", TEXT),
                ("map_name_hash", "mapNameHash", TEXT), ("round_number", "roundNumber", U32),
                ("previous_round_hash", "previousRoundHash", TEXT), ("roster_root", "rosterRoot", TEXT),
                ("config_hash", "configHash", TEXT))

DRAFT_BODY_ORDER = ("serverId", "sessionId", "mapNameHash", "roundNumber", "previousRoundHash", "rosterRoot",
                    "rewardEntries", "weaponSpendEntries", "zoltTransferEntries", "combatStatsEntries",
                    "rivalStatsEntries", "configHash", "serverSignature")
DRAFT_CANONICAL_ORDER = ("configHash", "combatStatsEntries", "zoltTransferEntries", "mapNameHash",
                         "previousRoundHash", "rewardEntries", "rivalStatsEntries", "rosterRoot", "roundNumber",
                         "serverId", "serverSignature", "sessionId", "weaponSpendEntries")

DRAFT_KINDS = {json_name: kind for _, json_name, kind in DRAFT_HEADER}
DRAFT_KINDS["serverSignature"] = TEXT
ENTRY_KINDS = {layout["json"]: {json_name: kind for _, json_name, kind in layout["fields"]} for layout in ENTRY_LISTS}


def _value_bytes(value, kind):
    """A validated draft value as the bytes the signing payload carries."""
    if kind in (TEXT, ROLE, AMOUNT):
        return value  # amounts travel as their canonical decimal text
    return render_number(value)


def _payload_line(out, key, value):
    out += key + b"=" + render_number(len(value)) + b":" + value + b"\n"


def build_signing_payload(draft):
    """Canonical line-oriented settlement payload of a validated draft (values already bytes/ints)."""
    out = bytearray()
    _payload_line(out, b"domain", SETTLEMENT_DOMAIN)
    for signing_key, json_name, kind in DRAFT_HEADER:
        _payload_line(out, signing_key.encode("ascii"), _value_bytes(draft[json_name], kind))
    for layout in ENTRY_LISTS:
        entries = draft[layout["json"]]
        prefix = layout["signing"].encode("ascii")
        _payload_line(out, prefix + b".count", render_number(len(entries)))
        for index, entry in enumerate(entries):
            entry_prefix = prefix + b"." + render_number(index) + b"."
            for signing_key, json_name, kind in layout["fields"]:
                _payload_line(out, entry_prefix + signing_key.encode("ascii"), _value_bytes(entry[json_name], kind))
    return bytes(out)


def _render_value(value, kind):
    if kind in (TEXT, ROLE, AMOUNT):
        return json_string(value)
    return render_number(value)


def _render_object(pairs):
    return b"{" + b",".join(json_string(name.encode("ascii")) + b":" + rendered for name, rendered in pairs) + b"}"


def render_draft(draft, canonical):
    order = DRAFT_CANONICAL_ORDER if canonical else DRAFT_BODY_ORDER
    pairs = []
    for name in order:
        layout = next((s for s in ENTRY_LISTS if s["json"] == name), None)
        if layout is None:
            pairs.append((name, _render_value(draft[name], DRAFT_KINDS[name])))
            continue
        kinds = ENTRY_KINDS[name]
        member_order = layout["canonical"] if canonical else layout["body"]
        entries = [_render_object([(member, _render_value(entry[member], kinds[member])) for member in member_order])
                   for entry in draft[name]]
        pairs.append((name, b"[" + b",".join(entries) + b"]"))
    return _render_object(pairs)


def render_settlement_payload(request_id, received_at, draft, canonical=True):
    """The settlement document as the plugin renders it: canonical form (what the envelope carries) or body form."""
    if canonical:
        return (b'{"draft":' + render_draft(draft, True) + b',"receivedAt":' + json_string(received_at)
                + b',"requestId":' + json_string(request_id) + b"}")
    return (b'{"requestId":' + json_string(request_id) + b',"receivedAt":' + json_string(received_at)
            + b',"draft":' + render_draft(draft, False) + b"}")


def render_envelope(server_id, request_id, timestamp_ms, nonce, payload_hash, signature, payload):
    return (b'{"protocol":"' + ENVELOPE_PROTOCOL.encode("ascii")
            + b'","serverId":' + narrow_string(server_id)
            + b',"requestId":' + narrow_string(request_id)
            + b',"timestampMs":' + render_number(timestamp_ms)
            + b',"nonce":' + narrow_string(nonce)
            + b',"payloadHash":"' + payload_hash
            + b'","signature":' + narrow_string(signature)
            + b',"payload":' + payload + b"}")
