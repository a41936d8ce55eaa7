// The one place where the keyboard module tells the Windows shell from another desktop.
//
// On Windows a location is opened with `os.startfile`, so that the shell's default action opens
// the file or folder. Elsewhere `os.startfile` does not exist; the location goes to
// `velmora._platform.shell.startfile`, which hands it to the desktop's opener as one argument,
// never through a shell, and raises when the opener fails.
//
// The choice follows the system the module was built for, unless the module namespace binds
// `_windows_shell` (support/shell.hpp).
#pragma once

#include "support/object.hpp"

namespace velmora::strokeSmith {

// The callable that opens a location with its default program: `os.startfile` on Windows.
Ref default_opener();

} // namespace velmora::strokeSmith
