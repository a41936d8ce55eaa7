#!/usr/bin/env bash
# Sets everything up on a fresh machine, then runs the main job.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
cd "$ROOT"
exec "$VENV/bin/python" "$ROOT/scripts/main_job.py" "$@"
