"""The demo and economy dry-run commands around the server simulator (tools/demo)."""
