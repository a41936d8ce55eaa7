#!/usr/bin/env bash
# Prints the path of a CPython 3.10 interpreter, the modules' target version, if this machine
# has one: `python3.10` on PATH (when it really runs; a pyenv shim may not), else the newest
# 3.10 under pyenv's versions. Exits with status 1 when there is none.
set -euo pipefail

is_python310() {
    "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 10))' >/dev/null 2>&1
}

candidates=()
if command -v python3.10 >/dev/null 2>&1; then candidates+=("$(command -v python3.10)"); fi
pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
while IFS= read -r found; do candidates+=("$found"); done < <(
    ls -d "$pyenv_root"/versions/3.10*/bin/python3.10 2>/dev/null | sort -rV)

for candidate in "${candidates[@]}"; do
    if is_python310 "$candidate"; then
        echo "$candidate"
        exit 0
    fi
done
exit 1
