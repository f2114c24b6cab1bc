"""tools/demo: the demo match against the development backend, and the economy dry-run."""

import argparse
import json
import os
import secrets
import subprocess
import sys
import tempfile

from . import daylog, report
from .backend import DEV_KEY_FILE, LocalBackend
from .build import ROOT, BuildError, locate, say, simulator_command

DEMO_DIR = os.path.join(ROOT, "tools", "hlds-sim", "demo")
DEMO_CONFIG = os.path.join(DEMO_DIR, "demo.cfg")
FINAL = ("included", "finalized")


def _common(parser):
    parser.add_argument("--simulator", help="a built ironpost-hlds-sim (default: build one in build/demo)")
    parser.add_argument("--plugin", help="a built plugin .so (default: build one in build/demo)")
    parser.add_argument("--build-dir", help="where to build (default build/demo)")
    parser.add_argument("--seed", default="1", help="seed for the simulated purchases (default 1)")
    parser.add_argument("--json", help="also write the result as JSON to this file")


def _run_simulator(command, report_path, quiet):
    """Runs the simulator; its report, its exit code and (when quiet) its output."""
    result = subprocess.run(command, stdout=subprocess.PIPE if quiet else None, text=True)
    try:
        with open(report_path, encoding="utf-8") as handle:
            data = json.load(handle)
    except (OSError, ValueError):
        data = None
    return data, result.returncode, result.stdout or ""


def _compare(ledger, sim_report):
    """Where the backend's ledger and the plugin's own totals (the settlements it posted) differ."""
    problems = []
    plugin = {p["steamId"]: p for p in sim_report["players"] if p["earned"] != "0" or p["spent"] != "0"}
    backend = {b["steamId"]: b for b in ledger["balances"]}
    for steam_id in sorted(set(plugin) | set(backend)):
        ours = plugin.get(steam_id, {"earned": "0", "spent": "0"})
        theirs = backend.get(steam_id, {"earnedZolt": "0", "spentZolt": "0"})
        if (ours["earned"], ours["spent"]) != (theirs["earnedZolt"], theirs["spentZolt"]):
            problems.append("ledger has %s earned %s spent %s; the plugin posted earned %s spent %s" % (
                steam_id, theirs["earnedZolt"], theirs["spentZolt"], ours["earned"], ours["spent"]))
    posted = {s["requestId"] for s in sim_report["settlements"]}
    recorded = {s["requestId"]: s["relayStatus"] for s in ledger["settlements"]}
    for request_id in sorted(posted - set(recorded)):
        problems.append("settlement %s never reached the ledger" % request_id)
    for request_id, status in sorted(recorded.items()):
        if status not in FINAL:
            problems.append("settlement %s is %s in the ledger" % (request_id, status))
    return problems


def demo(argv):
    parser = argparse.ArgumentParser(
        prog="tools/demo", description="Runs the real plugin on the bundled demo match against the development "
                                       "backend and checks the backend's ledger against the plugin's own totals.")
    _common(parser)
    parser.add_argument("--show-engine", action="store_true", help="print what the engine received from the plugin")
    args = parser.parse_args(argv)
    simulator, plugin, emulator = locate(args.simulator, args.plugin, args.build_dir)
    logs = sorted(name for name in os.listdir(DEMO_DIR) if name.endswith(".log"))
    failures = []
    with LocalBackend() as backend, tempfile.TemporaryDirectory(prefix="ironpost-demo-") as folder:
        say("demo: development backend on %s with a fresh database; replaying %s" % (backend.url, ", ".join(logs)))
        report_path = os.path.join(folder, "report.json")
        command = simulator_command(simulator, emulator) + [
            "--plugin", plugin, "--log", DEMO_DIR, "--config", DEMO_CONFIG, "--backend", backend.url,
            "--key-file", DEV_KEY_FILE, "--seed", args.seed, "--report-json", report_path]
        sim_report, code, _ = _run_simulator(command + (["--show-engine"] if args.show_engine else []),
                                             report_path, quiet=False)
        ledger = backend.summary()
    if sim_report is None:
        failures.append("the simulator wrote no report (exit status %d)" % code)
    else:
        if code != 0:
            failures.append("the simulator found faults (exit status %d)" % code)
        failures += _compare(ledger, sim_report)
    names = {p["steamId"]: p["name"] for p in (sim_report or {}).get("players", [])}
    print("== Backend ledger per player")
    print(report.text_table(["player", "steam id", "earned", "spent", "sent", "received", "net"],
                            [[names.get(b["steamId"], ""), b["steamId"], b["earnedZolt"], b["spentZolt"],
                              b["sentZolt"], b["receivedZolt"], b["netZolt"]] for b in ledger["balances"]]), end="")
    settled = [s for s in ledger["settlements"] if s["relayStatus"] in FINAL]
    if args.json:
        with open(args.json, "w", encoding="utf-8") as handle:
            json.dump({"ok": not failures, "failures": failures, "ledger": ledger["balances"],
                       "settlements": ledger["settlements"], "plugin": (sim_report or {}).get("players", [])},
                      handle, indent=2)
    if failures:
        print("demo: FAILED: %s%s" % (failures[0], " (and %d more)" % (len(failures) - 1) if len(failures) > 1 else ""))
        return 1
    print("demo: OK: all %d settlements included; the ledger matches the plugin's own totals for %d players"
          % (len(settled), len(ledger["balances"])))
    return 0


def dry_run(argv):
    parser = argparse.ArgumentParser(
        prog="tools/demo dry-run",
        description="Replays a server's own logs to show what the plugin would have paid. Without --backend a "
                    "stand-in backend inside this tool answers every settlement \"included\".")
    _common(parser)
    parser.add_argument("--log", action="append", required=True, help="a log file or a folder of *.log files "
                                                                       "(repeatable; played in time order)")
    parser.add_argument("--config", help="the server's ironpost.cfg (default: the plugin's defaults)")
    parser.add_argument("--backend", help="a development backend to post to instead of the stand-in")
    parser.add_argument("--key-file", help="the key that backend verifies with (required with --backend)")
    parser.add_argument("--what-if", action="append", default=[], metavar="KEY=VALUE",
                        help="also replay with this setting changed, e.g. reward_kill=200 (repeatable)")
    parser.add_argument("--buy-chance", default="0.5", help="chance a human buys a weapon each round (default 0.5)")
    parser.add_argument("--html", default="dry-run-report.html", help="where to write the HTML report")
    args = parser.parse_args(argv)
    if args.backend and not args.key_file:
        parser.error("--backend needs the --key-file that backend verifies with")
    simulator, plugin, emulator = locate(args.simulator, args.plugin, args.build_dir)
    runs = []
    with tempfile.TemporaryDirectory(prefix="ironpost-dry-run-") as folder:
        key_file = args.key_file or os.path.join(folder, "stand-in.key")
        if not args.key_file:
            with open(key_file, "w", encoding="ascii") as handle:
                handle.write(secrets.token_hex(32))
        for label, settings in [("as configured", [])] + [(w, [w]) for w in args.what_if]:
            report_path = os.path.join(folder, "report-%d.json" % len(runs))
            backend = None if args.backend else LocalBackend(key_file=key_file, scenario="included")
            try:
                command = simulator_command(simulator, emulator) + [
                    "--plugin", plugin, "--backend", args.backend or backend.url, "--key-file", key_file,
                    "--seed", args.seed, "--buy-chance", args.buy_chance, "--report-json", report_path]
                for log in args.log:
                    command += ["--log", log]
                if args.config:
                    command += ["--config", args.config]
                for setting in (["backend_auth_mode=none"] if backend else []) + settings:
                    command += ["--set", setting]
                say("dry-run: replaying %s (%s)" % (", ".join(args.log), label))
                sim_report, code, output = _run_simulator(command, report_path, quiet=True)
                ledger = backend.summary() if backend else None
            finally:
                if backend:
                    backend.close()
            if sim_report is None:
                sys.stdout.write(output)
                say("dry-run: FAILED: the simulator wrote no report (exit status %d)" % code)
                return 1
            runs.append(report.DryRun(label, sim_report, ledger, code))
    text = report.dry_run_text(runs)
    print(text, end="")
    with open(args.html, "w", encoding="utf-8") as handle:
        handle.write(report.dry_run_html(runs, args.log))
    if args.json:
        with open(args.json, "w", encoding="utf-8") as handle:
            json.dump([run.as_json() for run in runs], handle, indent=2)
    print("dry-run: HTML report written to %s" % args.html)
    return 0 if runs[0].code == 0 else 1


def long_run(argv):
    parser = argparse.ArgumentParser(
        prog="tools/demo long-run",
        description="A server's day played by the real plugin against the development backend: a generated log "
                    "with a map change every 30 minutes and the backend down for an hour in the middle. Prints the "
                    "process's heap, resident memory and open descriptors at the start, the middle and the end.")
    _common(parser)
    parser.add_argument("--hours", type=float, default=24.0, help="simulated hours (default 24)")
    parser.add_argument("--outage-minutes", type=float, default=60.0,
                        help="how long the backend is down in the middle (default 60)")
    args = parser.parse_args(argv)
    simulator, plugin, emulator = locate(args.simulator, args.plugin, args.build_dir)
    with LocalBackend() as backend, tempfile.TemporaryDirectory(prefix="ironpost-long-run-") as folder:
        logs = os.path.join(folder, "logs")
        os.mkdir(logs)
        files, rounds = daylog.generate(logs, hours=args.hours, seed=int(args.seed))
        middle = args.hours * 30
        outage = "%g-%g" % (middle - args.outage_minutes / 2, middle + args.outage_minutes / 2)
        say("long-run: %g simulated hours, %d rounds in %d log files; backend down from minute %s"
            % (args.hours, rounds, len(files), outage.replace("-", " to ")))
        report_path = os.path.join(folder, "report.json")
        command = simulator_command(simulator, emulator) + [
            "--plugin", plugin, "--log", logs, "--backend", backend.url, "--key-file", DEV_KEY_FILE,
            "--seed", args.seed, "--set", "antifarm_min_humans=2", "--outage", outage, "--report-json", report_path]
        sim_report, code, output = _run_simulator(command, report_path, quiet=True)
    if sim_report is None:
        sys.stdout.write(output)
        say("long-run: FAILED: the simulator wrote no report (exit status %d)" % code)
        return 1
    usage = sim_report["run"]["usage"]
    points = [("start", usage[1] if len(usage) > 1 else usage[0]), ("middle", usage[len(usage) // 2]),
              ("end", usage[-1])]
    # The heap is the whole simulator's; its own records grow with every round it reports, evenly over
    # simulated time, and what they held at the end is known: take their share out of each sample.
    minutes = [float(sample["at"].split("(")[1].split()[0]) for _, sample in points]
    own = sim_report.get("simulatorRecordsBytes", 0)
    for (_, sample), minute in zip(points, minutes):
        sample["pluginHeap"] = sample["heapBytes"] - own * minute / max(minutes[-1], 1.0)
    print(report.text_table(["at", "simulated", "heap KiB", "less the simulator's records", "resident MiB",
                             "descriptors"],
                            [[name, sample["at"], "%d" % (sample["heapBytes"] // 1024),
                              "%d" % (sample["pluginHeap"] // 1024), "%.1f" % (sample["residentBytes"] / 1048576.0),
                              str(sample["openDescriptors"])] for name, sample in points]), end="")
    statuses = {}
    for settlement in sim_report["settlements"]:
        statuses[settlement["status"]] = statuses.get(settlement["status"], 0) + 1
    print("settlements: %s; longest call into the plugin %.2f ms (%s)" % (
        ", ".join("%s %d" % item for item in sorted(statuses.items())), sim_report["run"]["longestHookMs"],
        sim_report["run"]["longestHook"]))
    failures = []
    if code != 0:
        failures.append("the simulator found faults (exit status %d)" % code)
    # Flat: from the middle of the day to its end the heap stays within a tenth and no descriptor is kept.
    mid, end = points[1][1], points[2][1]
    if end["pluginHeap"] > mid["pluginHeap"] * 1.1:
        failures.append("the heap grew from %d to %d bytes in the second half" % (mid["pluginHeap"], end["pluginHeap"]))
    if end["openDescriptors"] > mid["openDescriptors"]:
        failures.append("open descriptors grew from %d to %d" % (mid["openDescriptors"], end["openDescriptors"]))
    if failures:
        say("long-run: FAILED: " + "; ".join(failures))
        return 1
    say("long-run: OK: every settlement included after the outage; heap and descriptors flat")
    return 0


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    try:
        if argv and argv[0] == "dry-run":
            return dry_run(argv[1:])
        if argv and argv[0] == "long-run":
            return long_run(argv[1:])
        return demo(argv)
    except BuildError as error:
        print("demo: " + str(error), file=sys.stderr)
        return 2
