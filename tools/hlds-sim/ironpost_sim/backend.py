"""The development backend, run inside this process on a free loopback port with a fresh database."""

import os
import shutil
import sys
import tempfile

from .build import ROOT

sys.path.insert(0, os.path.join(ROOT, "tools", "dev-backend"))

from ironpost_backend import cli as backend_cli  # noqa: E402
from ironpost_backend.server import serve_in_thread  # noqa: E402
from ironpost_backend.store import open_read_only, summary_of  # noqa: E402

DEV_KEY_FILE = os.path.join(ROOT, "tools", "dev-backend", "dev-server.key")


class LocalBackend:
    """A development backend with its own temporary database; `scenario` lists the relay statuses a
    settlement moves through (the stand-in for a dry-run answers "included" at once); `faults` are the backend's
    --fault options."""

    def __init__(self, key_file=DEV_KEY_FILE, scenario="queued,submitted,included", faults=()):
        self.folder = tempfile.mkdtemp(prefix="ironpost-backend-")
        self.db = os.path.join(self.folder, "ledger.sqlite3")
        args = backend_cli.serve_parser().parse_args(
            ["--port", "0", "--key-file", key_file, "--db", self.db, "--scenario", scenario, "--quiet"]
            + [option for fault in faults for option in ("--fault", fault)])
        self.server = backend_cli.build_server(args)
        self.thread = serve_in_thread(self.server)
        host, port = self.server.bound
        self.url = "http://%s:%d" % (host, port)

    def summary(self):
        """Settlements, balances and counts as the backend recorded them."""
        db = open_read_only(self.db)
        try:
            return summary_of(db)
        finally:
            db.close()

    def close(self):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join(5)
        self.server.backend.store.close()
        shutil.rmtree(self.folder, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
