// The Windows shell step of the keyboard module and its counterpart on other desktops.
#include "strokeSmith/platform.hpp"

#include "strokeSmith/strokeSmith.hpp"
#include "support/shell.hpp"

namespace velmora::strokeSmith {

Ref default_opener() {
    if (windows_shell(module)) {
        return getattr(module.lookup(n_os), n_startfile);
    }
    return desktop_shell(module, n_startfile);
}

} // namespace velmora::strokeSmith
