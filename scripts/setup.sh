# Sourced by the other scripts: installs what velmora needs on a fresh Debian/Ubuntu machine
# and leaves a virtual environment with the package built and installed in .venv.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="${VELMORA_VENV:-$ROOT/.venv}"
PYTHON="${PYTHON:-python3}"

# System packages: a compiler for the extensions, a virtual X display, a window manager and
# the X tools the desktop tests drive (xdotool; setxkbmap and xkbcomp for layout switches),
# the clipboard tool behind the X clipboard (run under coreutils' timeout when reading), the
# system libraries that the OpenCV GUI build's Qt window loads (the wheel bundles the rest),
# clang-format for the C++ formatting check, Unicode's data files, which the grapheme cluster
# table is made from and tested against, the toolkits of the typing corpus (Tk and GTK 3 for
# the system interpreter, xterm), and the Wayland test session: a headless sway, its IPC
# client, Xwayland (the X display the picture window opens on), the Wayland clipboard tools,
# and a native terminal (foot); libxkbcommon decodes the keys that the host captures on Wayland.
APT_PACKAGES=(g++ xvfb xauth xdotool xclip openbox x11-utils x11-xkb-utils coreutils python3-venv
    python3-tk libgl1 libglib2.0-0 libsm6 libice6 libx11-6 libxext6 libxcb1 clang-format
    unicode-data xterm sway xwayland foot wl-clipboard python3-gi gir1.2-gtk-3.0 chromium
    libxkbcommon0)

source "$ROOT/scripts/apt.sh"

install_package() {
    [ -x "$VENV/bin/python" ] || "$PYTHON" -m venv "$VENV"
    "$VENV/bin/python" -m pip install -q --upgrade pip
    # Builds both extension modules from this checkout (scikit-build-core + CMake).
    local build_options=()
    if [ "${VELMORA_SANITIZE:-0}" = 1 ]; then
        build_options=(-C cmake.define.VELMORA_SANITIZE=ON -C cmake.build-type=Debug)
    fi
    "$VENV/bin/python" -m pip install -q "${build_options[@]}" "$ROOT[test]"
    # The keyboard package is a Windows-only dependency: where an older install left it in
    # this venv it would win over the platform layer's stand-in, which types into X.
    if "$VENV/bin/python" -c "import sys; sys.exit(sys.platform == 'win32')" &&
        "$VENV/bin/python" -m pip show -q keyboard 2>/dev/null; then
        "$VENV/bin/python" -m pip uninstall -q -y keyboard
    fi
}

# With VELMORA_SANITIZE=1 the modules are built with AddressSanitizer and
# UndefinedBehaviorSanitizer; the interpreter itself is not, so the sanitizer runtimes are
# preloaded into it. Leak detection is off (the interpreter keeps memory until exit by
# design); any other report aborts the process with a non-zero status.
sanitizer_environment() {
    [ "${VELMORA_SANITIZE:-0}" = 1 ] || return 0
    export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
    export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:allocator_may_return_null=1"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:abort_on_error=1"
}

apt_install setup -- "${APT_PACKAGES[@]}"
install_package
