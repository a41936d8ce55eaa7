// Which shell a module's steps go through: the Windows shell, or the project's stand-in for it
// on other desktops, `velmora._platform.shell`.
//
// The choice follows the system the module was built for. A module namespace may override it
// with the private name `_windows_shell` (True: the Windows steps, False: the others); no module
// binds that name itself, it is there so that tests can run either branch on any system.
#pragma once

#include "support/module.hpp"

namespace velmora {

// Whether the Windows steps apply to `module`: the truth of its `_windows_shell` where the
// namespace binds it, otherwise whether it was built for Windows.
bool windows_shell(const ModuleLifecycle& module);

// `from velmora._platform import shell; shell.<name>`, imported relative to `module`: the
// desktop's counterpart of a Windows shell call.
Ref desktop_shell(const ModuleLifecycle& module, const Name& name);

} // namespace velmora
