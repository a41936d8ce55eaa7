#!/usr/bin/env bash
# Sets everything up on a fresh machine, then runs the whole test suite. Extra arguments go
# to pytest.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
cd "$ROOT"
# The installed package is the one under test: run pytest from the venv (not `python -m
# pytest`, which would put the source tree, without its compiled modules, on sys.path).
sanitizer_environment
exec "$VENV/bin/pytest" "$@"
