"""Command line: `serve` (the default) and `summary`."""

import argparse
import json
import os
import re
import signal
import sqlite3
import subprocess
import sys
import tempfile

from . import protocol
from .server import DEFAULT_MAX_BODY, DevBackendServer, FaultBook, parse_fault_option, serve_in_thread
from .service import DEFAULT_SCENARIO, Backend, BackendConfig, parse_scenario
from .store import Store, open_read_only, summary_of

DEFAULT_KEY_FILE = "addons/ironpost/server.key"
DEFAULT_DB = "ironpost-dev-backend.sqlite3"
SAMPLE_KEY_FILE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "dev-server.key")

_ACCOUNT = re.compile(r"[A-Za-z0-9:._-]*\Z")
_AMOUNT = re.compile(r"(0|[1-9][0-9]*)\Z")


class UsageError(Exception):
    pass


def serve_parser():
    parser = argparse.ArgumentParser(
        prog="ironpost_dev_backend.py",
        description="Development backend for Iron-Post: verifies every plugin request and keeps a ledger. "
                    "Subcommands: 'summary' prints balances and settlements from the database; "
                    "'run [options] -- COMMAND' runs a command against a backend on a free port; "
                    "'verify' checks one request body without a server.")
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    parser.add_argument("--port", type=int, default=8080, help="port; 0 picks a free one (default 8080)")
    parser.add_argument("--key-file", default=DEFAULT_KEY_FILE,
                        help="server key file shared with the plugin (default %(default)s)")
    parser.add_argument("--token-file", help="bearer token file; when given, settlements must carry the token")
    parser.add_argument("--auth-header", default="Authorization", help="header carrying the bearer token")
    parser.add_argument("--server-id-header", default="X-IronPost-Server-Id")
    parser.add_argument("--request-id-header", default="X-IronPost-Request-Id")
    parser.add_argument("--server-id", action="append", default=[],
                        help="accept only this server id (repeatable; default: any id signed with the key)")
    parser.add_argument("--db", default=DEFAULT_DB, help="SQLite database file (default %(default)s)")
    parser.add_argument("--seed-file", help="JSON file of linked wallets")
    parser.add_argument("--scenario", default=",".join(DEFAULT_SCENARIO),
                        help="relay statuses a settlement moves through, one step per status poll "
                             "(default %(default)s)")
    parser.add_argument("--fault", action="append", default=[],
                        help="inject a fault: MODE[,count=N][,path=P][,delay_ms=N][,cut_bytes=N][,seconds=N] "
                             "with MODE one of 503, 500-accepted, slow, close, garbage, endless (repeatable)")
    parser.add_argument("--freshness-seconds", type=float, default=300,
                        help="largest accepted distance between an envelope time stamp and this clock")
    parser.add_argument("--lenient", action="store_true",
                        help="skip the byte-for-byte layout checks (signatures and hashes are still verified)")
    parser.add_argument("--currency-decimals", type=int, default=0, help="decimal places of display amounts")
    parser.add_argument("--max-body-bytes", type=int, default=DEFAULT_MAX_BODY)
    parser.add_argument("--quiet", action="store_true", help="do not log each request on stderr")
    parser.add_argument("--summary", action="store_true", help="print the summary of --db and exit")
    return parser


def summary_parser():
    parser = argparse.ArgumentParser(prog="ironpost_dev_backend.py summary",
                                     description="Print balances and settlements recorded in the database.")
    parser.add_argument("--db", default=DEFAULT_DB)
    parser.add_argument("--json", action="store_true", help="print the summary as JSON")
    return parser


def load_seed(path):
    """Linked wallets: {"wallets": [{"steamId": ..., "account": ..., "walletBalanceAtomic": "..."}]}."""
    try:
        with open(path, "r", encoding="utf-8") as handle:
            seed = json.load(handle)
    except (OSError, ValueError) as error:
        raise UsageError("cannot read seed file %s: %s" % (path, error))
    wallets = seed.get("wallets") if isinstance(seed, dict) else None
    if not isinstance(wallets, list):
        raise UsageError("seed file must hold an object with a \"wallets\" array")
    for index, wallet in enumerate(wallets):
        ok = (isinstance(wallet, dict) and isinstance(wallet.get("steamId"), str) and wallet["steamId"]
              # The plugin's balance reader takes strings up to the next quote and counts braces without
              # regard to strings, so account texts are kept to characters that cannot confuse it.
              and isinstance(wallet.get("account"), str) and _ACCOUNT.match(wallet["account"])
              and isinstance(wallet.get("walletBalanceAtomic"), str) and _AMOUNT.match(wallet["walletBalanceAtomic"]))
        if not ok:
            raise UsageError("seed wallet %d needs steamId, account (letters, digits, ':._-') and a decimal "
                             "walletBalanceAtomic" % index)
    return wallets


def read_key(path):
    try:
        key = protocol.load_key_material(path)
    except OSError as error:
        hint = "" if path != DEFAULT_KEY_FILE else "; pass --key-file (the development key is %s)" % SAMPLE_KEY_FILE
        raise UsageError("cannot read key file %s: %s%s" % (path, error.strerror or error, hint))
    if not key:
        raise UsageError("key file %s is empty; the plugin cannot sign with it either" % path)
    return key


def read_token(path):
    try:
        with open(path, "rb") as handle:
            token = handle.read().strip().decode("latin-1")
    except OSError as error:
        raise UsageError("cannot read token file %s: %s" % (path, error.strerror or error))
    if not token:
        raise UsageError("token file %s is empty" % path)
    return token


def build_server(args):
    key = read_key(args.key_file)
    token = read_token(args.token_file) if args.token_file else None
    try:
        scenario = parse_scenario(args.scenario)
        faults = FaultBook(parse_fault_option(option) for option in args.fault)
    except ValueError as error:
        raise UsageError(str(error))
    config = BackendConfig(key, token=token, auth_header=args.auth_header, server_id_header=args.server_id_header,
                           request_id_header=args.request_id_header, freshness_seconds=args.freshness_seconds,
                           server_ids=args.server_id, scenario=scenario, strict=not args.lenient,
                           currency_decimals=args.currency_decimals)
    try:
        store = Store(args.db)
    except sqlite3.Error as error:
        raise UsageError("cannot open database %s: %s" % (args.db, error))
    if args.seed_file:
        store.load_wallets(load_seed(args.seed_file))
    try:
        return DevBackendServer((args.host, args.port), Backend(config, store), faults,
                                max_body=args.max_body_bytes, quiet=args.quiet)
    except OSError as error:
        store.close()
        raise UsageError("cannot listen on %s:%d: %s" % (args.host, args.port, error.strerror or error))


def run_with_backend(argv):
    """Starts a backend on a free loopback port, runs one command against it, stops it; exit code of the command.

    The command finds the backend in IRONPOST_DEV_BACKEND_URL (and the database in IRONPOST_DEV_BACKEND_DB),
    which lets a test of the plugin's own protocol code use this backend as its peer with one CTest line.
    """
    if "--" not in argv:
        raise UsageError("usage: ironpost_dev_backend.py run [serve options] [--timeout S] -- COMMAND [ARGS...]")
    split = argv.index("--")
    parser = serve_parser()
    parser.prog = "ironpost_dev_backend.py run"
    parser.add_argument("--timeout", type=float, default=300, help="seconds the command may run")
    parser.set_defaults(port=0, db=None, quiet=True)
    args = parser.parse_args(argv[:split])
    command = argv[split + 1:]
    if not command:
        raise UsageError("no command given after --")
    with tempfile.TemporaryDirectory(prefix="ironpost-dev-backend-") as folder:
        if args.db is None:
            args.db = os.path.join(folder, "ledger.sqlite3")
        server = build_server(args)
        thread = serve_in_thread(server)
        host, port = server.bound
        env = dict(os.environ, IRONPOST_DEV_BACKEND_URL="http://%s:%d" % (host, port),
                   IRONPOST_DEV_BACKEND_DB=os.path.abspath(args.db))
        try:
            return subprocess.run(command, env=env, timeout=args.timeout).returncode
        except subprocess.TimeoutExpired:
            print("ironpost-dev-backend: command timed out after %g s" % args.timeout, file=sys.stderr)
            return 124
        except OSError as error:
            raise UsageError("cannot run %s: %s" % (command[0], error.strerror or error))
        finally:
            server.shutdown()
            server.server_close()
            thread.join(5)
            server.backend.store.close()


def verify_one(argv):
    """Checks one request without a server: prints the decision as JSON; exit 0 accepted, 1 refused.

    For tests of the plugin's protocol code that want a verdict on bytes they built, without HTTP.
    """
    parser = argparse.ArgumentParser(prog="ironpost_dev_backend.py verify",
                                     description="Verify one plugin request body read from a file or stdin.")
    parser.add_argument("--key-file", required=True)
    parser.add_argument("--token-file")
    parser.add_argument("--path", required=True, help="endpoint path, for example /v1/plugin/settlements")
    parser.add_argument("--header", action="append", default=[], metavar="'NAME: VALUE'",
                        help="request header (repeatable); Content-Type defaults to application/json")
    parser.add_argument("--body-file", help="request body (default: stdin)")
    parser.add_argument("--freshness-seconds", type=float, default=300)
    parser.add_argument("--lenient", action="store_true")
    args = parser.parse_args(argv)
    headers = []
    for header in args.header:
        name, sep, value = os.fsencode(header).decode("latin-1").partition(":")
        if not sep or not name.strip():
            raise UsageError("header must be written 'NAME: VALUE', not " + json.dumps(header))
        headers.append((name.strip(), value.strip()))
    if not any(name.lower() == "content-type" for name, _ in headers):
        headers.append(("Content-Type", "application/json"))
    try:
        if args.body_file:
            with open(args.body_file, "rb") as handle:
                body = handle.read()
        else:
            body = sys.stdin.buffer.read()
    except OSError as error:
        raise UsageError("cannot read body: %s" % (error.strerror or error))
    config = BackendConfig(read_key(args.key_file), token=read_token(args.token_file) if args.token_file else None,
                           freshness_seconds=args.freshness_seconds, strict=not args.lenient)
    store = Store(":memory:")
    try:
        outcome = Backend(config, store).handle("POST", args.path, headers, body)
    finally:
        store.close()
    print(json.dumps({"status": outcome.status, "accepted": outcome.accepted, "reasons": outcome.reasons,
                      "errors": outcome.errors, "warnings": outcome.warnings,
                      "answer": outcome.body.decode("latin-1")}))
    return 0 if outcome.accepted else 1


def _stop(signum, frame):
    raise KeyboardInterrupt


def serve(argv):
    args = serve_parser().parse_args(argv)
    if args.summary:
        return print_summary(args.db, as_json=False)
    server = build_server(args)
    host, port = server.bound
    # First stdout line is machine-readable so tests and scripts can find a port chosen with --port 0.
    print("listening %s:%d" % (host, port), flush=True)
    signal.signal(signal.SIGTERM, _stop)
    try:
        server.serve_forever(poll_interval=0.2)
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
        server.backend.store.close()
    return 0


def print_summary(db_path, as_json):
    try:
        db = open_read_only(db_path)
        summary = summary_of(db)
        db.close()
    except (OSError, sqlite3.Error) as error:
        raise UsageError("cannot read database %s: %s" % (db_path, error))
    if as_json:
        print(json.dumps(summary, indent=2))
        return 0
    print(format_summary(summary), end="")
    return 0


def _table(headers, rows):
    widths = [max(len(str(v)) for v in column) for column in zip(headers, *rows)]
    lines = ["  ".join(str(v).ljust(w) for v, w in zip(row, widths)).rstrip() for row in [headers] + rows]
    return "\n".join(lines) + "\n"


def format_summary(summary):
    out = "Settlements (%d)\n" % len(summary["settlements"])
    rows = [[s["requestId"], s["serverId"], s["roundNumber"], s["relayStatus"], s["rewardZolt"], s["polls"],
             s["repeats"], s["receivedAt"]] for s in summary["settlements"]]
    if rows:
        out += _table(["request id", "server", "round", "relay", "rewards", "polls", "repeats", "received"], rows)
    out += "\nBalances (%d)\n" % len(summary["balances"])
    rows = [[b["steamId"], b["earnedZolt"], b["spentZolt"], b["sentZolt"], b["receivedZolt"], b["netZolt"],
             "yes" if b["linked"] else "no", b["account"], b["walletBalanceAtomic"]] for b in summary["balances"]]
    if rows:
        out += _table(["steam id", "earned", "spent", "sent", "received", "net", "linked", "account", "wallet"],
                      rows)
    counts = summary["counts"]
    out += "\nRequests: %d (%d accepted, %d refused); round events: %d\n" % (
        counts["requests"], counts["accepted"], counts["refused"], counts["roundEvents"])
    return out


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    try:
        if argv and argv[0] == "summary":
            args = summary_parser().parse_args(argv[1:])
            return print_summary(args.db, args.json)
        if argv and argv[0] == "run":
            return run_with_backend(argv[1:])
        if argv and argv[0] == "verify":
            return verify_one(argv[1:])
        return serve(argv)
    except UsageError as error:
        print("ironpost-dev-backend: " + str(error), file=sys.stderr)
        return 2
