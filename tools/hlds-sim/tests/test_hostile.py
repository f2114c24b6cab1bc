"""The real plugin against a hostile backend, one scenario per fault, through the simulator.

Every scenario plays the same generated half hour (a dozen rounds) in worker mode with a 1500 ms
HTTP time-out. Whatever the backend does, the plugin must not crash or misuse the engine, no call
into it may come near the time-out (the frame never waits on the network), and every settlement
must end included, or be given up by the plugin with a reason and still be in the outbox journal.

    IRONPOST_SIM_PATHS=build/native-asan/hlds-sim-paths.json python3 -m unittest -v test_hostile
"""

import json
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

from ironpost_sim import daylog  # noqa: E402
from ironpost_sim.backend import DEV_KEY_FILE, LocalBackend  # noqa: E402

POLL = "/v1/plugin/submission-status"
SETTLE = "/v1/plugin/settlements"
# name: the development backend's faults, or None for nothing listening at all
SCENARIOS = {
    "nothing listening": None,
    "refused, then up": ["refuse,count=12"],
    "reset mid-reply": ["reset,count=6"],
    "slow drip": ["drip,count=3,delay_ms=100"],
    "endless body": ["endless,count=3,seconds=4"],
    "garbage": ["garbage,count=6"],
    "500 that says accepted": ["500-accepted,count=4,path=" + SETTLE],
    "503 burst": ["503,count=20"],
    "settlement answered, poll never": ["hang,count=4,seconds=5,path=" + POLL],
}
TIMEOUT_MS = 1500
LONGEST_CALL_MS = TIMEOUT_MS // 3  # far below the time-out that a frame waiting on a hanging backend would reach
FINAL = ("included", "finalized")


def _paths():
    with open(os.environ["IRONPOST_SIM_PATHS"], encoding="utf-8") as handle:
        return json.load(handle)


class HostileBackend(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.paths = _paths()
        cls.folder = tempfile.TemporaryDirectory(prefix="ironpost-hostile-")
        cls.logs = os.path.join(cls.folder.name, "logs")
        os.mkdir(cls.logs)
        daylog.generate(cls.logs, hours=0.5, seed=7)

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def play(self, name, faults):
        game_dir = os.path.join(self.folder.name, name.replace(" ", "-").replace(",", ""))
        report_path = game_dir + ".json"
        backend = LocalBackend(faults=faults) if faults is not None else None
        url = backend.url if backend else "http://127.0.0.1:9"
        command = ([self.paths["emulator"]] if self.paths.get("emulator") else []) + [
            self.paths["simulator"], "--plugin", self.paths["plugin"], "--log", self.logs, "--backend", url,
            "--key-file", DEV_KEY_FILE, "--game-dir", game_dir, "--report-json", report_path,
            "--set", "antifarm_min_humans=2", "--set", "backend_worker_enabled=1",
            "--set", "http_timeout_ms=%d" % TIMEOUT_MS, "--set", "backend_retry_max_attempts=4",
            "--drain-seconds", "600"]
        try:
            result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=300)
        finally:
            if backend:
                backend.close()
        with open(report_path, encoding="utf-8") as handle:
            return result, json.load(handle), os.path.join(game_dir, "addons", "ironpost", "outbox")

    def test_every_fault(self):
        for name, faults in SCENARIOS.items():
            with self.subTest(name):
                result, report, outbox = self.play(name, faults)
                output = result.stdout
                self.assertIn(result.returncode, (0, 1), output[-3000:])
                for misuse in ("engine fault", "left the result code unset", "no longer waited for"):
                    self.assertNotIn(misuse, output)
                run = report["run"]
                self.assertLess(run["longestHookMs"], LONGEST_CALL_MS, "%s took %.1f ms" % (
                    run["longestHook"], run["longestHookMs"]))
                settlements = report["settlements"]
                self.assertGreaterEqual(len(settlements), 10)
                journal = os.listdir(outbox) if os.path.isdir(outbox) else []
                for settlement in settlements:
                    if settlement["status"] in FINAL:
                        continue
                    request_id = settlement["requestId"]
                    self.assertTrue(settlement["givenUp"], "%s is %s and still followed" % (
                        request_id, settlement["status"]))
                    self.assertIn(":", settlement["givenUp"].split(request_id, 1)[1], "no reason given")
                    prefix = "".join(c if c.isalnum() or c in "-_" else "_" for c in request_id)[:64]
                    self.assertTrue(any(entry.startswith(prefix + "-") for entry in journal),
                                    "%s given up and not in the journal" % request_id)
                if faults is not None and name != "500 that says accepted":
                    # The faults run out: the backend then includes every round.
                    self.assertEqual([s["status"] for s in settlements if s["status"] not in FINAL], [])


if __name__ == "__main__":
    unittest.main()
