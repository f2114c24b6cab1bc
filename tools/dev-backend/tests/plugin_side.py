"""A second, independent rendering of what the plugin sends, used to drive the backend in tests.

It deliberately shares no code with the backend package: if both sides made the
same mistake from one shared helper, the tests could not see it.  Drafts are
dicts with the plugin's field names; every text is bytes.
"""

import hashlib
import hmac
import socket

PROTOCOL = b"ironpost-plugin-envelope-v2"


def fnv1a_64(data):
    h = 0xCBF29CE484222325
    for b in data:
        h = ((h ^ b) * 0x100000001B3) % (1 << 64)
    return h


def dev_v1(key, payload):
    return b"dev-v1:%016x" % fnv1a_64(key + b"\n" + payload)


def jstr(data):
    """String rendering of settlement JSON."""
    out = b'"'
    for b in data:
        c = bytes([b])
        if c == b"\\":
            out += b"\\\\"
        elif c == b'"':
            out += b'\\"'
        elif b == 8:
            out += b"\\b"
        elif b == 9:
            out += b"\\t"
        elif b == 10:
            out += b"\\n"
        elif b == 12:
            out += b"\\f"
        elif b == 13:
            out += b"\\r"
        elif b < 0x20:
            out += b"\\u00%02x" % b
        else:
            out += c
    return out + b'"'


def esc(data):
    """The envelope's five-byte escaping."""
    return (data.replace(b"\\", b"\\\\").replace(b'"', b'\\"').replace(b"\t", b"\\t")
            .replace(b"\n", b"\\n").replace(b"\r", b"\\r"))


def tesc(data):
    """Telemetry escaping: ill-formed UTF-8 as U+FFFD, the envelope's five escapes, other control bytes as \\u00xx."""
    out = bytearray()
    for byte in data.decode("utf-8", "replace").encode("utf-8"):
        out += esc(bytes([byte])) if byte >= 0x20 or byte in b"\t\n\r" else b"\\u%04x" % byte
    return bytes(out)


def num(n):
    return str(n).encode()


def role(r):
    return {0: b"terrorist", 1: b"counter_terrorist", 2: b"spectator"}.get(r, b"unassigned")


def make_draft(**overrides):
    draft = {
        "server_id": b"srv-1", "session_id": b"cs16-alpha-live:srv-1:1", "map_name_hash": b"cs16-alpha-map:live",
        "round_number": 3, "previous_round_hash": b"prev-2", "roster_root": b"roster", "config_hash": b"cfg",
        "reward_entries": [], "weapon_spend_entries": [], "zolt_transfer_entries": [],
        "combat_stats_entries": [], "rival_stats_entries": [], "server_signature": b"",
    }
    draft.update(overrides)
    return draft


def reward(slot, steam_id, reward_zolt, kills=1, valid_damage=0):
    return {"slot": slot, "steam_id": steam_id, "kills": kills, "valid_damage": valid_damage,
            "reward_zolt": reward_zolt}


def spend(slot, steam_id, weapon_id, zolt_cost, round_number=3):
    return {"slot": slot, "steam_id": steam_id, "weapon_id": weapon_id, "zolt_cost": zolt_cost,
            "round_number": round_number}


def transfer(intent_id, from_slot, to_slot, from_steam_id, to_steam_id, amount, target_role=1, menu_nonce=b"m"):
    return {"intent_id": intent_id, "from_slot": from_slot, "to_slot": to_slot, "from_steam_id": from_steam_id,
            "to_steam_id": to_steam_id, "amount": amount, "target_role": target_role, "menu_nonce": menu_nonce}


def combat(steam_id, kills=0, deaths=0, headshots=0, shots_fired=0, shots_hit=0, rounds_played=1):
    return {"steam_id": steam_id, "kills": kills, "deaths": deaths, "headshots": headshots,
            "shots_fired": shots_fired, "shots_hit": shots_hit, "rounds_played": rounds_played}


def rival(attacker, victim, hits=1, damage=0, kills=0):
    return {"attacker_steam_id": attacker, "victim_steam_id": victim, "hits": hits, "damage": damage, "kills": kills}


def signing_payload(d):
    lines = []

    def field(key, value):
        value = value if isinstance(value, bytes) else num(value)
        lines.append(key + b"=" + num(len(value)) + b":" + value + b"\n")

    field(b"domain", b"ironpost:settlement:v1")
    for k in ("server_id", "session_id", "map_name_hash", "round_number", "previous_round_hash", "roster_root",
              "config_hash"):
        field(k.encode(), d[k])
    groups = (
        ("reward_entries", ("slot", "steam_id", "kills", "valid_damage", "reward_zolt")),
        ("weapon_spend_entries", ("slot", "steam_id", "weapon_id", "zolt_cost", "round_number")),
        ("zolt_transfer_entries", ("intent_id", "from_slot", "to_slot", "from_steam_id", "to_steam_id", "amount",
                                   "target_role", "menu_nonce")),
        ("combat_stats_entries", ("steam_id", "kills", "deaths", "headshots", "shots_fired", "shots_hit",
                                  "rounds_played")),
        ("rival_stats_entries", ("attacker_steam_id", "victim_steam_id", "hits", "damage", "kills")),
    )
    for group, keys in groups:
        field(group.encode() + b".count", len(d[group]))
        for i, entry in enumerate(d[group]):
            for k in keys:
                value = role(entry[k]) if k == "target_role" else entry[k]
                field(group.encode() + b"." + num(i) + b"." + k.encode(), value)
    return b"".join(lines)


def sign_draft(d, key):
    signed = dict(d)
    signed["server_signature"] = dev_v1(key, signing_payload(d))
    return signed


def _obj(pairs):
    return b"{" + b",".join(b'"' + k.encode() + b'":' + v for k, v in pairs) + b"}"


def _reward_json(e, canonical):
    m = {"slot": num(e["slot"]), "steamId": jstr(e["steam_id"]), "kills": num(e["kills"]),
         "validDamage": num(e["valid_damage"]), "rewardZolt": jstr(num(e["reward_zolt"]))}
    order = ("kills", "rewardZolt", "slot", "steamId", "validDamage") if canonical else \
        ("slot", "steamId", "kills", "validDamage", "rewardZolt")
    return _obj([(k, m[k]) for k in order])


def _spend_json(e, canonical):
    m = {"slot": num(e["slot"]), "steamId": jstr(e["steam_id"]), "weaponId": jstr(e["weapon_id"]),
         "zoltCost": jstr(num(e["zolt_cost"])), "roundNumber": num(e["round_number"])}
    order = ("zoltCost", "roundNumber", "slot", "steamId", "weaponId") if canonical else \
        ("slot", "steamId", "weaponId", "zoltCost", "roundNumber")
    return _obj([(k, m[k]) for k in order])


def _transfer_json(e, canonical):
    m = {"intentId": num(e["intent_id"]), "fromSteamId": jstr(e["from_steam_id"]),
         "toSteamId": jstr(e["to_steam_id"]), "amount": jstr(num(e["amount"])), "fromUserid": num(e["from_slot"]),
         "toUserid": num(e["to_slot"]), "targetRole": jstr(role(e["target_role"])),
         "menuNonce": jstr(e["menu_nonce"])}
    order = ("amount", "fromSteamId", "fromUserid", "intentId", "menuNonce", "targetRole", "toSteamId",
             "toUserid") if canonical else \
        ("intentId", "fromSteamId", "toSteamId", "amount", "fromUserid", "toUserid", "targetRole", "menuNonce")
    return _obj([(k, m[k]) for k in order])


def _combat_json(e, canonical):
    m = {"steamId": jstr(e["steam_id"]), "kills": num(e["kills"]), "deaths": num(e["deaths"]),
         "headshots": num(e["headshots"]), "shotsFired": num(e["shots_fired"]), "shotsHit": num(e["shots_hit"]),
         "roundsPlayed": num(e["rounds_played"])}
    order = ("deaths", "headshots", "kills", "roundsPlayed", "shotsFired", "shotsHit", "steamId") if canonical \
        else ("steamId", "kills", "deaths", "headshots", "shotsFired", "shotsHit", "roundsPlayed")
    return _obj([(k, m[k]) for k in order])


def _rival_json(e, canonical):
    m = {"attackerSteamId": jstr(e["attacker_steam_id"]), "victimSteamId": jstr(e["victim_steam_id"]),
         "hits": num(e["hits"]), "damage": num(e["damage"]), "kills": num(e["kills"])}
    order = ("attackerSteamId", "damage", "hits", "kills", "victimSteamId") if canonical else \
        ("attackerSteamId", "victimSteamId", "hits", "damage", "kills")
    return _obj([(k, m[k]) for k in order])


def draft_json(d, canonical):
    arrays = {
        "rewardEntries": b"[" + b",".join(_reward_json(e, canonical) for e in d["reward_entries"]) + b"]",
        "weaponSpendEntries": b"[" + b",".join(_spend_json(e, canonical) for e in d["weapon_spend_entries"]) + b"]",
        "zoltTransferEntries": b"[" + b",".join(_transfer_json(e, canonical)
                                               for e in d["zolt_transfer_entries"]) + b"]",
        "combatStatsEntries": b"[" + b",".join(_combat_json(e, canonical) for e in d["combat_stats_entries"]) + b"]",
        "rivalStatsEntries": b"[" + b",".join(_rival_json(e, canonical) for e in d["rival_stats_entries"]) + b"]",
    }
    m = dict(arrays, serverId=jstr(d["server_id"]), sessionId=jstr(d["session_id"]),
             mapNameHash=jstr(d["map_name_hash"]), roundNumber=num(d["round_number"]),
             previousRoundHash=jstr(d["previous_round_hash"]), rosterRoot=jstr(d["roster_root"]),
             configHash=jstr(d["config_hash"]), serverSignature=jstr(d["server_signature"]))
    order = ("configHash", "combatStatsEntries", "zoltTransferEntries", "mapNameHash", "previousRoundHash",
             "rewardEntries", "rivalStatsEntries", "rosterRoot", "roundNumber", "serverId", "serverSignature",
             "sessionId", "weaponSpendEntries") if canonical else \
        ("serverId", "sessionId", "mapNameHash", "roundNumber", "previousRoundHash", "rosterRoot", "rewardEntries",
         "weaponSpendEntries", "zoltTransferEntries", "combatStatsEntries", "rivalStatsEntries", "configHash",
         "serverSignature")
    return _obj([(k, m[k]) for k in order])


def intake_bodies(request_id, received_at, d):
    """(body, canonical_payload_body) of the settlement intake request."""
    body = (b'{"requestId":' + jstr(request_id) + b',"receivedAt":' + jstr(received_at) + b',"draft":'
            + draft_json(d, False) + b"}")
    canonical = (b'{"draft":' + draft_json(d, True) + b',"receivedAt":' + jstr(received_at) + b',"requestId":'
                 + jstr(request_id) + b"}")
    return body, canonical


def nonce(request_id, timestamp_ms, label):
    return hashlib.sha256(label + b"\n" + request_id + b"\n" + num(timestamp_ms)).hexdigest()[:32].encode()


def envelope_text(server_id, request_id, timestamp_ms, nonce_, payload_hash):
    return (b"protocol=" + PROTOCOL + b"\nserverId=" + server_id + b"\nrequestId=" + request_id + b"\ntimestampMs="
            + num(timestamp_ms) + b"\nnonce=" + nonce_ + b"\npayloadHash=" + payload_hash)


def envelope(key, server_id, request_id, timestamp_ms, payload, label, nonce_=None, payload_hash=None):
    nonce_ = nonce(request_id, timestamp_ms, label) if nonce_ is None else nonce_
    payload_hash = b"sha256:" + hashlib.sha256(payload).hexdigest().encode() if payload_hash is None else payload_hash
    signature = b"hmac-sha256:" + hmac.new(key, envelope_text(server_id, request_id, timestamp_ms, nonce_,
                                                               payload_hash), hashlib.sha256).hexdigest().encode()
    return (b'{"protocol":"' + PROTOCOL + b'","serverId":"' + esc(server_id) + b'","requestId":"' + esc(request_id)
            + b'","timestampMs":' + num(timestamp_ms) + b',"nonce":"' + esc(nonce_) + b'","payloadHash":"'
            + payload_hash + b'","signature":"' + esc(signature) + b'","payload":' + payload + b"}")


# --- telemetry payloads -----------------------------------------------------------------


def heartbeat_payload(now_ms, round_number, server_id):
    return b'{"nowMs":' + num(now_ms) + b',"roundNumber":' + num(round_number) + b',"serverId":"' + tesc(server_id) \
        + b'"}'


def status_payload(now_ms, request_id, server_id):
    return b'{"nowMs":' + num(now_ms) + b',"requestId":"' + esc(request_id) + b'","serverId":"' + esc(server_id) \
        + b'"}'


def balances_payload(now_ms, players, server_id):
    items = b",".join(b'{"slot":' + num(slot) + b',"steamId":"' + tesc(steam) + b'"}' for slot, steam in players)
    return b'{"nowMs":' + num(now_ms) + b',"players":[' + items + b'],"serverId":"' + tesc(server_id) + b'"}'


def round_events_payload(now_ms, round_number, server_id, events):
    items = b",".join(b'{"detail":"' + tesc(detail) + b'","peerSlot":' + num(peer) + b',"sequence":' + num(seq)
                      + b',"slot":' + num(slot) + b',"type":"' + tesc(kind) + b'","value":' + num(value) + b"}"
                      for seq, kind, slot, peer, value, detail in events)
    return (b'{"events":[' + items + b'],"nowMs":' + num(now_ms) + b',"roundNumber":' + num(round_number)
            + b',"serverId":"' + tesc(server_id) + b'","sessionId":"cs16-alpha:' + tesc(server_id) + b'"}')


# --- the plugin's HTTP exchange -----------------------------------------------------------


def http_post(port, path, body, headers, content_type=b"application/json", timeout=5.0, max_bytes=None):
    """One POST written the way the plugin writes it; returns (status, body, raw) read until the peer closes."""
    text = (b"POST " + path + b" HTTP/1.1\r\nHost: 127.0.0.1:" + num(port) + b"\r\nConnection: close\r\n"
            + b"Content-Type: " + content_type + b"\r\n"
            + b"".join(name + b": " + value + b"\r\n" for name, value in headers)
            + b"Content-Length: " + num(len(body)) + b"\r\n\r\n" + body)
    return raw_exchange(port, text, timeout, max_bytes)


def raw_exchange(port, text, timeout=5.0, max_bytes=None):
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as sock:
        sock.sendall(text)
        raw = b""
        while max_bytes is None or len(raw) < max_bytes:
            chunk = sock.recv(65536)
            if not chunk:
                break
            raw += chunk
    head, sep, body = raw.partition(b"\r\n\r\n")
    status_line = head.split(b"\r\n", 1)[0]
    parts = status_line.split(b" ")
    status = int(parts[1]) if len(parts) > 1 and parts[1].isdigit() else 0
    return status, (body if sep else b""), raw
