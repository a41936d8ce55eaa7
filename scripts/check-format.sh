#!/usr/bin/env bash
# Checks the house style: the C++ sources against the repository's .clang-format, and all Python
# code against ruff's formatter and linter (configured in pyproject.toml). With --fix, formats
# both in place and applies ruff's safe fixes instead. clang-format comes from the system
# (scripts/setup.sh installs it), ruff from the test extras in the virtual environment.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
ruff="${VELMORA_VENV:-$PWD/.venv}/bin/ruff"
mapfile -t sources < <(find extensions -name '*.cpp' -o -name '*.hpp' | sort)
if [ "${1:-}" = --fix ]; then
    clang-format -i "${sources[@]}"
    "$ruff" format .
    "$ruff" check --fix .
else
    clang-format --dry-run --Werror "${sources[@]}"
    "$ruff" format --check .
    "$ruff" check .
fi
