#!/usr/bin/env bash
# Sets everything up on a fresh machine, then runs the benchmarks and prints their table.
# Extra arguments go to benchmarks/run.py: --quick (a third of the rounds), --only KEY...,
# --list, --update-readme (writes the table into benchmarks/README.md).
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
cd "$ROOT"
# The installed package, built in Release by pip, is the one measured: run.py is started by
# its path, so the checkout's source package (without compiled modules) is not on sys.path.
exec "$VENV/bin/python" "$ROOT/benchmarks/run.py" "$@"
