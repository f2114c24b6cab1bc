"""The real plugin end to end: the README's main command and the dry-run on the demo match (native),
and the real 2013 sample log through the i386 plugin. IRONPOST_SIM_PATHS names the built simulator
and plugin (CMake writes it); without it, or without the plugin, the tests are skipped."""

import html.parser
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))

from ironpost_sim.backend import DEV_KEY_FILE, LocalBackend  # noqa: E402
from ironpost_sim.build import ROOT  # noqa: E402
from ironpost_sim.report import BAR_COLOUR  # noqa: E402

DEMO = os.path.join(ROOT, "tools", "demo")
DEMO_DIR = os.path.join(ROOT, "tools", "hlds-sim", "demo")


def built():
    try:
        with open(os.environ["IRONPOST_SIM_PATHS"], encoding="utf-8") as handle:
            paths = json.load(handle)
    except (KeyError, OSError, ValueError):
        return None
    return paths if paths.get("plugin") and os.path.exists(paths["plugin"]) else None


def run(command, timeout=300):
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=timeout)


class DemoMatch(unittest.TestCase):
    """tools/demo once, and the dry-run of the same match once; each test reads their results."""

    @classmethod
    def setUpClass(cls):
        cls.paths = built()
        if cls.paths is None:
            raise unittest.SkipTest("no built plugin")
        cls.folder = tempfile.mkdtemp(prefix="hlds-sim-e2e-")
        binaries = ["--simulator", cls.paths["simulator"], "--plugin", cls.paths["plugin"]]
        cls.demo = run([sys.executable, DEMO] + binaries + ["--json", os.path.join(cls.folder, "demo.json")])
        cls.html = os.path.join(cls.folder, "report.html")
        cls.dry_run = run([sys.executable, DEMO, "dry-run"] + binaries + [
            "--log", DEMO_DIR, "--config", os.path.join(DEMO_DIR, "demo.cfg"), "--html", cls.html,
            "--what-if", "reward_kill=200", "--json", os.path.join(cls.folder, "dry-run.json")])

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, ignore_errors=True)

    def result(self, name):
        with open(os.path.join(self.folder, name), encoding="utf-8") as handle:
            return json.load(handle)

    def test_main_command_includes_every_settlement_and_the_ledger_matches(self):
        last = self.demo.stdout.strip().splitlines()[-1]
        self.assertTrue(last.startswith("demo: OK: all "), self.demo.stdout[-4000:])
        earned = {b["steamId"]: int(b["earnedZolt"]) for b in self.result("demo.json")["ledger"]}
        # 100 a kill and 1 a point of damage, as the demo's configuration says; worked out from the log:
        # Ada 8 kills and 400 damage; Bjorn 4 kills and 447 (his kill of a teammate refused); Chen 3
        # kills and 200, nothing while his id was pending; the player whose name imitates Ada's log
        # token 2 kills and 76, under his own id. Bots are never paid.
        self.assertEqual(earned, {"STEAM_0:1:70011": 1200, "STEAM_0:0:80022": 847, "STEAM_0:1:90033": 500,
                                  "STEAM_0:0:66066": 276})

    def test_dry_run_pays_what_the_ledger_shows(self):
        self.assertEqual(self.dry_run.returncode, 0, self.dry_run.stdout[-4000:])
        ledger = self.result("demo.json")["ledger"]
        base, what_if = self.result("dry-run.json")
        paid = {p["steamId"]: (p["earned"], p["spent"]) for p in base["players"] if p["earned"] or p["spent"]}
        self.assertEqual(paid, {b["steamId"]: (int(b["earnedZolt"]), int(b["spentZolt"])) for b in ledger})
        self.assertGreater(what_if["totalIssued"], base["totalIssued"], "a higher kill reward pays more")

    def test_html_report_renders_the_players_and_the_chart(self):
        chromium = shutil.which("chromium") or shutil.which("chromium-browser")
        if chromium is None:
            self.skipTest("chromium is not installed")
        base = self.result("dry-run.json")[0]
        flags = [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--no-first-run",
                 "--user-data-dir=" + os.path.join(self.folder, "chromium"), "--window-size=1200,1600"]
        dom = run(flags + ["--dump-dom", "file://" + self.html], timeout=120).stdout
        page = RenderedPage()
        page.feed(dom)
        self.assertEqual(page.rows["players"], [(p["steamId"], str(p["earned"])) for p in base["players"]])
        self.assertEqual(page.bars, [r["issued"] for r in base["rounds"]])
        screenshot = os.path.join(self.folder, "report.png")
        run(flags + ["--screenshot=" + screenshot, "file://" + self.html], timeout=120)
        self.assertGreater(count_colour(screenshot, BAR_COLOUR), 200, "the bars were not painted")


class RenderedPage(html.parser.HTMLParser):
    """The tables' (steam id, earned) cells and the chart's bars, as the browser left the document."""

    def __init__(self):
        super().__init__()
        self.rows, self.bars, self.table, self.cells = {}, [], None, None

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "table":
            self.table = attrs.get("id")
            self.rows[self.table] = []
        elif tag == "tr" and self.table:
            self.cells = []
        elif tag == "td" and self.cells is not None:
            self.cells.append("")
        elif tag == "rect" and attrs.get("class") == "bar":
            self.bars.append(int(attrs["data-issued"]))

    def handle_data(self, data):
        if self.cells:
            self.cells[-1] += data

    def handle_endtag(self, tag):
        if tag == "tr" and self.cells:
            self.rows[self.table].append((self.cells[1], self.cells[2]))
            self.cells = None
        elif tag == "table":
            self.table = None


def count_colour(png_path, colour):
    """Pixels of exactly `colour` ("#rrggbb") in an 8-bit RGB or RGBA PNG."""
    with open(png_path, "rb") as handle:
        data = handle.read()
    width, height, depth, kind = struct.unpack(">IIBB", data[16:26])
    assert depth == 8 and kind in (2, 6), "unexpected PNG layout"
    channels = 3 if kind == 2 else 4
    at, chunks = 8, b""
    while at < len(data):
        length, name = struct.unpack(">I4s", data[at:at + 8])
        if name == b"IDAT":
            chunks += data[at + 8:at + 8 + length]
        at += 12 + length
    raw, stride = zlib.decompress(chunks), width * channels
    target = bytes(int(colour[i:i + 2], 16) for i in (1, 3, 5))
    previous, count = bytearray(stride), 0
    for row in range(height):
        start = row * (stride + 1)
        kind_of_filter, line = raw[start], bytearray(raw[start + 1:start + 1 + stride])
        for i in range(stride):
            left = line[i - channels] if i >= channels else 0
            up, up_left = previous[i], previous[i - channels] if i >= channels else 0
            if kind_of_filter == 1:
                line[i] = (line[i] + left) & 0xFF
            elif kind_of_filter == 2:
                line[i] = (line[i] + up) & 0xFF
            elif kind_of_filter == 3:
                line[i] = (line[i] + (left + up) // 2) & 0xFF
            elif kind_of_filter == 4:
                p = left + up - up_left
                guess = min((abs(p - left), 0, left), (abs(p - up), 1, up), (abs(p - up_left), 2, up_left))[2]
                line[i] = (line[i] + guess) & 0xFF
        count += sum(1 for i in range(0, stride, channels) if line[i:i + 3] == target)
        previous = line
    return count


class SampleLog(unittest.TestCase):
    """The real 2013 log (five map logs, bots and one human who reconnects with a new user id) through
    the plugin: it survives the whole file, every settlement is accepted and included, and the human is
    paid for exactly the kills the log shows him making, through his own user id and no other."""

    def test_whole_sample_log(self):
        paths = built()
        sample = os.path.join(os.environ.get("IRONPOST_SHARED_DIR", os.path.join(ROOT, "..", "shared")),
                              "samples", "cs16-de_dust2-2013.log")
        if paths is None or not os.path.exists(sample):
            self.skipTest("no built plugin or no sample log")
        with LocalBackend() as backend, tempfile.TemporaryDirectory() as folder:
            report_path = os.path.join(folder, "report.json")
            command = ([paths["emulator"]] if paths.get("emulator") else []) + [
                paths["simulator"], "--plugin", paths["plugin"], "--log", sample, "--backend", backend.url,
                "--key-file", DEV_KEY_FILE, "--set", "antifarm_min_humans=1", "--fps", "10",
                # The game state is posted once per policy interval; every second over two hours of
                # play would only slow the test down.
                "--set", "alpha_policy_interval_seconds=30", "--report-json", report_path]
            result = run(command, timeout=540)
            self.assertEqual(result.returncode, 0, result.stdout[-4000:])
            with open(report_path, encoding="utf-8") as handle:
                report = json.load(handle)
            ledger = backend.summary()
        self.assertTrue(report["settlements"])
        self.assertEqual({s["relayStatus"] for s in ledger["settlements"]}, {"included"})
        human = {p["steamId"]: p for p in report["players"]}["STEAM_0:0:67410624"]
        self.assertGreater(human["loggedKills"], 0)
        self.assertEqual(human["kills"], human["loggedKills"])
        self.assertEqual([b["steamId"] for b in ledger["balances"]], ["STEAM_0:0:67410624"])


if __name__ == "__main__":
    unittest.main()
