#!/usr/bin/env bash
# Checks that the C++ sources follow the repository's .clang-format; with --fix, formats them
# in place instead. clang-format comes from the system (scripts/setup.sh installs it).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
mapfile -t sources < <(find extensions -name '*.cpp' -o -name '*.hpp' | sort)
if [ "${1:-}" = --fix ]; then
    clang-format -i "${sources[@]}"
else
    clang-format --dry-run --Werror "${sources[@]}"
fi
