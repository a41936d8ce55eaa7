/* Interpreter configuration for compiling extension modules for 64-bit Windows (win_amd64)
 * on another system, written for the cross-build check (scripts/cross-windows.sh).
 *
 * The interpreter's headers take their platform facts from "pyconfig.h". The one installed on
 * a Linux machine describes Linux (4-byte wchar_t, 8-byte long, POSIX threads); this one
 * states what a 64-bit Windows interpreter is: the LLP64 data model (long stays 4 bytes),
 * UTF-16 wchar_t, Windows threads, and an interpreter that lives in a DLL whose functions an
 * extension imports. Only the facts that the public headers consult are stated. */
#ifndef VELMORA_CROSS_WINDOWS_PYCONFIG_H
#define VELMORA_CROSS_WINDOWS_PYCONFIG_H

#if !defined(_WIN64)
#error "this configuration describes 64-bit Windows only"
#endif

/* MSVC and clang in MSVC mode predefine _WIN64 but not MS_WIN64; the interpreter's own Windows
 * configuration derives MS_WIN64 from the compiler only under MSVC, so a GNU-style build
 * (MinGW) must define it itself, or the interpreter's header would describe a 32-bit
 * pointer. The same demand here keeps the build scripts honest. */
#if !defined(_MSC_VER) && !defined(MS_WIN64)
#error "a GNU-style build for 64-bit Windows must define MS_WIN64"
#endif
#ifndef MS_WIN64
#define MS_WIN64
#endif

/* The Windows API is available (Python.h then skips <unistd.h> and declares the
 * Windows-only functions); MS_WIN32 names the Win32 API, which 64-bit Windows also is. */
#define MS_WINDOWS
#define MS_WIN32

/* The interpreter is a shared library: its functions and data are imported with
 * __declspec(dllimport), and the module's init function is exported with dllexport. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

/* Sizes in bytes of the C types under the LLP64 data model. */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_UINTPTR_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF__BOOL 1
#define SIZEOF_PID_T SIZEOF_INT
#define SIZEOF_HKEY 8

/* wchar_t holds one UTF-16 code unit, declared in <wchar.h>. */
#define SIZEOF_WCHAR_T 2
#define HAVE_WCHAR_H 1

/* Standard C headers the interpreter's headers may include. */
#define HAVE_ERRNO_H 1
#define HAVE_STDDEF_H 1
#define HAVE_SIGNAL_H 1
#define HAVE_SYS_STAT_H 1

/* Threads are Windows threads (this sets the layout of the thread-specific-storage key). */
#define NT_THREADS 1
#define WITH_THREAD 1

/* The release interpreter: its own small-object allocator, docstrings kept. */
#define WITH_PYMALLOC 1
#define WITH_DOC_STRINGS 1

/* Printing a size_t with printf's "z" modifier. */
#define PY_FORMAT_SIZE_T "z"

#endif
