# Sourced by the other scripts: installs what velmora needs on a fresh Debian/Ubuntu machine
# and leaves a virtual environment with the package built and installed in .venv.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="${VELMORA_VENV:-$ROOT/.venv}"
PYTHON="${PYTHON:-python3}"

# System packages: a compiler for the extensions, a virtual X display and the X tools the
# desktop tests drive, and the libraries the OpenCV GUI build loads.
APT_PACKAGES=(g++ xvfb xauth xdotool xclip x11-utils libgl1 libglib2.0-0 python3-venv)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; elif command -v sudo >/dev/null; then sudo "$@"; else
        echo "setup: need root to install: ${APT_PACKAGES[*]}" >&2; return 1; fi
}

install_system_packages() {
    command -v apt-get >/dev/null || return 0
    local missing=()
    for package in "${APT_PACKAGES[@]}"; do
        dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "setup: installing ${missing[*]}"
    as_root apt-get update -qq
    DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq "${missing[@]}" >/dev/null
}

install_package() {
    [ -x "$VENV/bin/python" ] || "$PYTHON" -m venv "$VENV"
    "$VENV/bin/python" -m pip install -q --upgrade pip
    # Builds both extension modules from this checkout (scikit-build-core + CMake).
    "$VENV/bin/python" -m pip install -q "$ROOT[test]"
}

install_system_packages
install_package
