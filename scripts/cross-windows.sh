#!/usr/bin/env bash
# Builds both extension modules for 64-bit Windows (win_amd64) on Linux, twice, and checks them:
#
#   msvc  clang in MSVC mode (Microsoft ABI, _MSC_VER) with the project's MSVC options (/WX)
#   gnu   MinGW-w64 GCC with the project's GCC options (-Werror)
#
# The sources, include directories and options come from CMakeLists.txt (sources through
# CMake's file API), so a file added there is compiled here too. The interpreter's headers are
# this machine's (a 3.10 interpreter's when there is one) with scripts/windows/pyconfig.h, a
# description of a 64-bit Windows interpreter, in place of the Linux one. Each module is linked
# against an import library of python3X.dll made from exactly the interpreter symbols it uses,
# and must export nothing but PyInit_<name>.
#
# What this does not prove: MSVC's own headers are not available here, so in MSVC mode the C
# and C++ standard library headers are MinGW-w64's and GCC's (parsed with clang announcing GCC
# compatibility), and that build's references into Microsoft's C++ runtime stay unresolved;
# nothing is loaded into a Windows interpreter. Output: build/cross-windows/.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
OUT="$ROOT/build/cross-windows"
JOBS="${VELMORA_JOBS:-2}"

APT_PACKAGES=(clang lld llvm g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64 cmake ninja-build)
source "$ROOT/scripts/apt.sh"
apt_install cross-windows --no-install-recommends -- "${APT_PACKAGES[@]}"

PYTHON="${PYTHON:-$(bash "$ROOT/scripts/find-python310.sh" || command -v python3)}"
PY_INCLUDE="$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')"
PY_VERSION="$("$PYTHON" -c 'import sys; print("%d%d" % sys.version_info[:2])')"
PY_DLL="python$PY_VERSION.dll"
SUFFIX="cp$PY_VERSION-win_amd64.pyd"
GNU_CXX=x86_64-w64-mingw32-g++-win32
GCC_INCLUDE="$("$GNU_CXX" -print-file-name=include)"  # GCC's own headers, libstdc++ in c++/
MINGW_INCLUDE=/usr/share/mingw-w64/include              # MinGW-w64's C library headers

rm -rf "$OUT" && mkdir -p "$OUT"

# The interpreter's headers include "pyconfig.h" from their own directory first, so they are
# copied and the copy gets the Windows description.
cp -r "$PY_INCLUDE" "$OUT/python-include"
cp "$ROOT/scripts/windows/pyconfig.h" "$OUT/python-include/pyconfig.h"

# What CMake builds: configure (no compiling) with a request for the file API's code model.
mkdir -p "$OUT/model/.cmake/api/v1/query"
touch "$OUT/model/.cmake/api/v1/query/codemodel-v2"
cmake -S "$ROOT" -B "$OUT/model" -G Ninja -DPython_EXECUTABLE="$PYTHON" >"$OUT/model.log"
"$PYTHON" "$ROOT/scripts/windows/cmake_targets.py" "$OUT/model" "$ROOT" >"$OUT/targets"

cmake_options() {  # the option line `set(<variable> ...)` of CMakeLists.txt
    sed -n "s/^set($1 \(.*\))\$/\1/p" "$ROOT/CMakeLists.txt" | grep . ||
        { echo "cross-windows: no set($1 ...) line in CMakeLists.txt" >&2; return 1; }
}
msvc_options="$(cmake_options VELMORA_MSVC_OPTIONS)"
gnu_options="$(cmake_options VELMORA_GNU_OPTIONS)"
read -r -a MSVC_OPTIONS <<<"$msvc_options"
read -r -a GNU_OPTIONS <<<"$gnu_options"

INCLUDES=()
for directory in $(cut -d'|' -f2 "$OUT/targets" | tr ' ' '\n' | sort -u); do
    INCLUDES+=("-I$directory")
done

# clang in MSVC mode. /X drops the default search paths; the standard library comes from
# MinGW-w64 (C) and GCC (C++), whose headers want GCC's predefined macros and __declspec as a
# macro, as under GCC.
MSVC_COMPILE=(clang --driver-mode=cl --target=x86_64-pc-windows-msvc /std:c++20 /O2 /DNDEBUG
    "${MSVC_OPTIONS[@]}" /WX /X -fgnuc-version=12.2 /D__STRICT_ANSI__ "/D__declspec(x)=__declspec(x)"
    /imsvc "$GCC_INCLUDE/c++" /imsvc "$GCC_INCLUDE/c++/x86_64-w64-mingw32" /imsvc "$MINGW_INCLUDE"
    /imsvc "$GCC_INCLUDE" "-I$OUT/python-include" "${INCLUDES[@]}")
# MinGW-w64 GCC, hidden visibility as CMake sets it; MS_WIN64 as CMakeLists.txt defines it.
GNU_COMPILE=("$GNU_CXX" -std=c++20 -O2 -DNDEBUG "${GNU_OPTIONS[@]}" -Werror -DMS_WIN64
    -fvisibility=hidden -fvisibility-inlines-hidden "-I$OUT/python-include" "${INCLUDES[@]}")

object() { echo "$OUT/$1/${2//\//_}.o"; }  # object <flavour> <source>

# Every source once per flavour (the support layer is shared by the modules), run by Ninja.
{
    echo "builddir = $OUT"
    echo "rule msvc"
    echo "  command = $(printf '%q ' "${MSVC_COMPILE[@]}")/c \$in /Fo\$out"
    echo "rule gnu"
    echo "  command = $(printf '%q ' "${GNU_COMPILE[@]}")-c \$in -o \$out"
    for source in $(cut -d'|' -f3 "$OUT/targets" | tr ' ' '\n' | sort -u); do
        echo "build $(object msvc "$source"): msvc $source"
        echo "build $(object gnu "$source"): gnu $source"
    done
} >"$OUT/build.ninja"
(cd "$ROOT" && ninja -f "$OUT/build.ninja" -j "$JOBS" --quiet)

failures=0
fail() { echo "cross-windows: $*" >&2; failures=$((failures + 1)); }

# import_library <flavour> <module> <objects...>: a .def file of the interpreter symbols that
# the objects use, and the import library made from it. Most come through their import pointers
# (__imp_PyX); a function whose address sits in static data (a type slot) is referenced by name
# and reaches the import library's stub instead.
import_library() {
    local flavour="$1" module="$2"
    shift 2
    local symbols="$OUT/$flavour/$module.undefined"
    llvm-nm --undefined-only --format=just-symbols "$@" | sort -u >"$symbols"
    { echo "LIBRARY $PY_DLL"; echo "EXPORTS"; sed -n 's/^\(__imp_\)\{0,1\}\(_\{0,2\}Py.*\)$/    \2/p' "$symbols" | sort -u; } \
        >"$OUT/$flavour/$module.def"
    if [ "$flavour" = msvc ]; then
        llvm-dlltool -m i386:x86-64 -d "$OUT/$flavour/$module.def" -l "$OUT/$flavour/$module-python.lib"
    else
        x86_64-w64-mingw32-dlltool -d "$OUT/$flavour/$module.def" -l "$OUT/$flavour/$module-python.a"
    fi
}

# check_exports <pyd> <module>: exactly one export, PyInit_<module>.
check_exports() {
    local exports
    exports="$(llvm-readobj --coff-exports "$1" | sed -n 's/^ *Name: \(.\+\)$/\1/p' | tr '\n' ' ')"
    [ "$exports" = "PyInit_$2 " ] || fail "$1 exports [$exports], not only PyInit_$2"
}

while IFS='|' read -r module _ module_sources; do
    for flavour in msvc gnu; do
        objects=()
        for source in $module_sources; do objects+=("$(object "$flavour" "$source")"); done
        import_library "$flavour" "$module" "${objects[@]}"
        pyd="$OUT/$flavour/$module.$SUFFIX"
        if [ "$flavour" = gnu ]; then
            # The C++ runtime goes into the module, so that it needs only the interpreter and
            # the system's C runtime.
            "$GNU_CXX" -shared -static-libgcc -static-libstdc++ -Wl,--no-undefined -o "$pyd" \
                "${objects[@]}" "$OUT/gnu/$module-python.a" || fail "gnu link of $module failed"
        else
            # Microsoft's C++ and C runtime libraries are not available here: the link resolves
            # the interpreter's symbols from the import library and lists what stays open, which
            # must be runtime symbols only.
            lld-link /nologo /dll /noentry /nodefaultlib /force:unresolved "/out:$pyd" \
                "${objects[@]}" "$OUT/msvc/$module-python.lib" 2>"$OUT/msvc/$module.link.log" || true
            if grep -v 'warning: undefined symbol\|^>>> referenced\|^$' \
                "$OUT/msvc/$module.link.log" | grep -q .; then
                fail "msvc link of $module: $(cat "$OUT/msvc/$module.link.log")"
            fi
            if grep 'undefined symbol' "$OUT/msvc/$module.link.log" | grep -q -E ': _?_?(imp_)?_?Py'; then
                fail "msvc link of $module left interpreter symbols unresolved"
            fi
        fi
        [ -f "$pyd" ] || { fail "no $pyd"; continue; }
        check_exports "$pyd" "$module"
        imports="$(llvm-readobj --coff-imports "$pyd" | sed -n 's/^ *Name: \(.*\.dll\)$/\1/Ip' | sort -u | tr '\n' ' ')"
        case " $imports" in *" $PY_DLL "*) ;; *) fail "$pyd does not import $PY_DLL ($imports)" ;; esac
        echo "cross-windows: $flavour $module.$SUFFIX: $(($(wc -l <"$OUT/$flavour/$module.def") - 2)) interpreter symbols; imports $imports"
    done
done <"$OUT/targets"

[ "$failures" -eq 0 ] || { echo "cross-windows: $failures check(s) failed" >&2; exit 1; }
echo "cross-windows: both flavours built with no warnings; each module exports only its PyInit_ function ($SECONDS s)"
