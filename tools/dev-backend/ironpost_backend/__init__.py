"""Iron-Post development backend: a verifying stand-in for the backend service."""
