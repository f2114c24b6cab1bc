"""SQLite record of everything the backend received and decided, plus the token ledger.

Amounts are kept as decimal TEXT: they are unsigned 64-bit on the wire and
their sums can exceed SQLite's signed 64-bit integers.
"""

import json
import os
import sqlite3
import threading
import urllib.parse

SCHEMA = """
CREATE TABLE IF NOT EXISTS requests (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    received_ms INTEGER NOT NULL,
    method TEXT NOT NULL,
    path TEXT NOT NULL,
    peer TEXT NOT NULL,
    headers TEXT NOT NULL,
    body BLOB,
    server_id TEXT,
    request_id TEXT,
    status INTEGER NOT NULL,
    accepted INTEGER NOT NULL,
    reasons TEXT NOT NULL,
    errors TEXT NOT NULL,
    warnings TEXT NOT NULL,
    fault TEXT,
    answer BLOB
);
CREATE TABLE IF NOT EXISTS settlements (
    request_id TEXT PRIMARY KEY,
    server_id TEXT NOT NULL,
    session_id TEXT NOT NULL,
    round_number INTEGER NOT NULL,
    plugin_received_at TEXT NOT NULL,
    backend_received_at TEXT NOT NULL,
    payload_hash TEXT NOT NULL,
    server_signature TEXT NOT NULL,
    draft TEXT NOT NULL,
    scenario TEXT NOT NULL,
    relay_index INTEGER NOT NULL,
    relay_status TEXT NOT NULL,
    extrinsic_hash TEXT NOT NULL DEFAULT '',
    submitted_at TEXT NOT NULL DEFAULT '',
    block_number INTEGER NOT NULL DEFAULT 0,
    polls INTEGER NOT NULL DEFAULT 0,
    repeats INTEGER NOT NULL DEFAULT 0,
    created_ms INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS ledger (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    request_id TEXT NOT NULL,
    steam_id TEXT NOT NULL,
    kind TEXT NOT NULL,
    amount TEXT NOT NULL,
    counterparty TEXT NOT NULL DEFAULT '',
    detail TEXT NOT NULL DEFAULT ''
);
CREATE INDEX IF NOT EXISTS ledger_steam ON ledger (steam_id);
CREATE TABLE IF NOT EXISTS wallets (
    steam_id TEXT PRIMARY KEY,
    account TEXT NOT NULL,
    wallet_balance_atomic TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS nonces (
    server_id TEXT NOT NULL,
    nonce TEXT NOT NULL,
    timestamp_ms INTEGER NOT NULL,
    PRIMARY KEY (server_id, nonce)
);
CREATE TABLE IF NOT EXISTS telemetry (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    kind TEXT NOT NULL,
    server_id TEXT NOT NULL,
    request_id TEXT NOT NULL,
    received_ms INTEGER NOT NULL,
    payload BLOB NOT NULL
);
CREATE TABLE IF NOT EXISTS round_events (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    server_id TEXT NOT NULL,
    session_id TEXT NOT NULL,
    request_id TEXT NOT NULL,
    round_number INTEGER NOT NULL,
    sequence INTEGER NOT NULL,
    slot INTEGER NOT NULL,
    peer_slot INTEGER NOT NULL,
    type TEXT NOT NULL,
    value TEXT NOT NULL,
    detail TEXT NOT NULL
);
CREATE UNIQUE INDEX IF NOT EXISTS round_events_once
    ON round_events (server_id, sequence, type, slot, peer_slot, value, detail) WHERE sequence > 0;
"""

LEDGER_CREDITS = ("reward", "transfer_in")
LEDGER_DEBITS = ("weapon_spend", "transfer_out")


def _text(data):
    """Stored form of a plugin byte string: latin-1 text keeps every byte."""
    return data.decode("latin-1") if isinstance(data, bytes) else data


class Store:
    """One SQLite connection shared by the server threads behind one lock."""

    def __init__(self, path):
        self.path = path
        self.lock = threading.RLock()
        self.db = sqlite3.connect(path, check_same_thread=False, isolation_level=None)
        self.db.row_factory = sqlite3.Row
        with self.lock:
            # WAL lets the summary command read while the server writes; NORMAL syncing keeps each
            # request from waiting on a disk flush, which a development ledger does not need.
            self.db.execute("PRAGMA journal_mode=WAL")
            self.db.execute("PRAGMA synchronous=NORMAL")
            self.db.executescript("BEGIN;" + SCHEMA + "COMMIT;")

    def close(self):
        with self.lock:
            self.db.close()

    # --- requests and decisions ---------------------------------------------------

    def record_request(self, record):
        with self.lock:
            cursor = self.db.execute(
                "INSERT INTO requests (received_ms, method, path, peer, headers, body, server_id, request_id,"
                " status, accepted, reasons, errors, warnings, fault, answer)"
                " VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)",
                (record["receivedMs"], record["method"], record["path"], record["peer"],
                 json.dumps(record["headers"]), record["body"], record.get("serverId"), record.get("requestId"),
                 record["status"], 1 if record["accepted"] else 0, json.dumps(record["reasons"]),
                 json.dumps(record["errors"]), json.dumps(record["warnings"]), record.get("fault"),
                 record.get("answer")))
            return cursor.lastrowid

    def decisions(self, since_id=0, limit=100):
        with self.lock:
            rows = self.db.execute(
                "SELECT * FROM (SELECT * FROM requests WHERE id > ? ORDER BY id DESC LIMIT ?) ORDER BY id",
                (since_id, limit)).fetchall()
        return [decision_of(row) for row in rows]

    # --- nonces -------------------------------------------------------------------

    def claim_nonce(self, server_id, nonce, timestamp_ms, forget_before_ms):
        """True when the nonce is new for the server; old nonces are forgotten once stale anyway."""
        with self.lock:
            self.db.execute("DELETE FROM nonces WHERE timestamp_ms < ?", (forget_before_ms,))
            try:
                self.db.execute("INSERT INTO nonces (server_id, nonce, timestamp_ms) VALUES (?,?,?)",
                                (_text(server_id), _text(nonce), timestamp_ms))
            except sqlite3.IntegrityError:
                return False
            return True

    # --- settlements and ledger -----------------------------------------------------

    def settlement(self, request_id):
        with self.lock:
            return self.db.execute("SELECT * FROM settlements WHERE request_id = ?",
                                   (_text(request_id),)).fetchone()

    def insert_settlement(self, row, ledger_rows):
        with self.lock:
            self.db.execute("BEGIN")
            try:
                self.db.execute(
                    "INSERT INTO settlements (request_id, server_id, session_id, round_number, plugin_received_at,"
                    " backend_received_at, payload_hash, server_signature, draft, scenario, relay_index,"
                    " relay_status, extrinsic_hash, submitted_at, block_number, created_ms)"
                    " VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)",
                    (row["request_id"], row["server_id"], row["session_id"], row["round_number"],
                     row["plugin_received_at"], row["backend_received_at"], row["payload_hash"],
                     row["server_signature"], row["draft"], row["scenario"], row["relay_index"],
                     row["relay_status"], row["extrinsic_hash"], row["submitted_at"], row["block_number"],
                     row["created_ms"]))
                self.db.executemany(
                    "INSERT INTO ledger (request_id, steam_id, kind, amount, counterparty, detail)"
                    " VALUES (?,?,?,?,?,?)", ledger_rows)
                self.db.execute("COMMIT")
            except Exception:
                self.db.execute("ROLLBACK")
                raise

    def update_settlement(self, request_id, **fields):
        assignments = ", ".join(name + " = ?" for name in fields)
        with self.lock:
            self.db.execute("UPDATE settlements SET " + assignments + " WHERE request_id = ?",
                            tuple(fields.values()) + (_text(request_id),))

    def chain_height(self):
        with self.lock:
            row = self.db.execute("SELECT MAX(block_number) FROM settlements").fetchone()
        return row[0] or 0

    def load_wallets(self, wallets):
        with self.lock:
            self.db.execute("BEGIN")
            self.db.execute("DELETE FROM wallets")
            self.db.executemany("INSERT INTO wallets (steam_id, account, wallet_balance_atomic) VALUES (?,?,?)",
                                [(w["steamId"], w["account"], w["walletBalanceAtomic"]) for w in wallets])
            self.db.execute("COMMIT")

    def wallet(self, steam_id):
        with self.lock:
            return self.db.execute("SELECT * FROM wallets WHERE steam_id = ?", (_text(steam_id),)).fetchone()

    def balance(self, steam_id):
        with self.lock:
            rows = self.db.execute("SELECT kind, amount FROM ledger WHERE steam_id = ?",
                                   (_text(steam_id),)).fetchall()
        return fold_ledger(rows)

    # --- telemetry ------------------------------------------------------------------

    def record_telemetry(self, kind, server_id, request_id, received_ms, payload):
        with self.lock:
            self.db.execute("INSERT INTO telemetry (kind, server_id, request_id, received_ms, payload)"
                            " VALUES (?,?,?,?,?)", (kind, _text(server_id), _text(request_id), received_ms, payload))

    def record_round_events(self, rows):
        """Stores events; an event already stored (same sequence and content) is a resend and is skipped."""
        stored = 0
        with self.lock:
            for row in rows:
                cursor = self.db.execute(
                    "INSERT OR IGNORE INTO round_events (server_id, session_id, request_id, round_number, sequence,"
                    " slot, peer_slot, type, value, detail) VALUES (?,?,?,?,?,?,?,?,?,?)", row)
                stored += cursor.rowcount
        return stored


def fold_ledger(rows):
    totals = {"reward": 0, "weapon_spend": 0, "transfer_in": 0, "transfer_out": 0}
    for row in rows:
        totals[row["kind"]] = totals.get(row["kind"], 0) + int(row["amount"])
    totals["net"] = sum(totals[k] for k in LEDGER_CREDITS) - sum(totals[k] for k in LEDGER_DEBITS)
    return totals


def summarize_balances(rows, wallets):
    by_player = {}
    for row in rows:
        by_player.setdefault(row["steam_id"], []).append(row)
    wallet_by_player = {w["steam_id"]: w for w in wallets}
    result = []
    for steam_id in sorted(set(by_player) | set(wallet_by_player)):
        totals = fold_ledger(by_player.get(steam_id, []))
        wallet = wallet_by_player.get(steam_id)
        totals.update({"steamId": steam_id, "linked": wallet is not None,
                       "account": wallet["account"] if wallet else "",
                       "walletBalanceAtomic": wallet["wallet_balance_atomic"] if wallet else ""})
        result.append(totals)
    return result


def decision_of(row):
    return {
        "id": row["id"], "receivedMs": row["received_ms"], "method": row["method"], "path": row["path"],
        "serverId": row["server_id"], "requestId": row["request_id"], "status": row["status"],
        "accepted": bool(row["accepted"]), "reasons": json.loads(row["reasons"]),
        "errors": json.loads(row["errors"]), "warnings": json.loads(row["warnings"]), "fault": row["fault"],
    }


def open_read_only(path):
    if not os.path.exists(path):
        raise FileNotFoundError(path)
    db = sqlite3.connect("file:" + urllib.parse.quote(os.path.abspath(path)) + "?mode=ro", uri=True)
    db.row_factory = sqlite3.Row
    return db


def summary_of(db):
    """Settlements, balances and counters as one JSON-ready document (read-only)."""
    settlements = []
    for row in db.execute("SELECT * FROM settlements ORDER BY created_ms, request_id").fetchall():
        draft = json.loads(row["draft"])
        settlements.append({
            "requestId": row["request_id"], "serverId": row["server_id"], "sessionId": row["session_id"],
            "roundNumber": row["round_number"], "relayStatus": row["relay_status"],
            "scenario": json.loads(row["scenario"]), "polls": row["polls"], "repeats": row["repeats"],
            "receivedAt": row["backend_received_at"], "extrinsicHash": row["extrinsic_hash"],
            "blockNumber": row["block_number"],
            "rewardZolt": str(sum(int(e["rewardZolt"]) for e in draft["rewardEntries"])),
            "entries": {name: len(draft[name]) for name in ("rewardEntries", "weaponSpendEntries",
                                                              "zoltTransferEntries", "combatStatsEntries",
                                                              "rivalStatsEntries")},
        })
    ledger = db.execute("SELECT steam_id, kind, amount FROM ledger ORDER BY id").fetchall()
    wallets = db.execute("SELECT * FROM wallets ORDER BY steam_id").fetchall()
    balances = []
    for totals in summarize_balances(ledger, wallets):
        balances.append({"steamId": totals["steamId"], "earnedZolt": str(totals["reward"]),
                         "spentZolt": str(totals["weapon_spend"]), "sentZolt": str(totals["transfer_out"]),
                         "receivedZolt": str(totals["transfer_in"]), "netZolt": str(totals["net"]),
                         "pendingZoltAtomic": str(max(totals["net"], 0)), "linked": totals["linked"],
                         "account": totals["account"], "walletBalanceAtomic": totals["walletBalanceAtomic"]})
    requests = db.execute("SELECT COUNT(*), SUM(accepted) FROM requests").fetchone()
    telemetry = {row[0]: row[1] for row in db.execute("SELECT kind, COUNT(*) FROM telemetry GROUP BY kind")}
    events = db.execute("SELECT COUNT(*) FROM round_events").fetchone()[0]
    return {"settlements": settlements, "balances": balances,
            "counts": {"requests": requests[0], "accepted": requests[1] or 0,
                       "refused": requests[0] - (requests[1] or 0), "telemetry": telemetry, "roundEvents": events}}
