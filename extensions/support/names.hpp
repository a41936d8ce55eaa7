// Interned names that both modules use: the Windows modules they look up at each use and the
// attributes they fetch from them.
#pragma once

#include "support/object.hpp"

namespace velmora {

inline const Name n_os("os");
inline const Name n_win32api("win32api");
inline const Name n_win32con("win32con");
inline const Name n_winsound("winsound");
inline const Name n_PlaySound("PlaySound");
inline const Name n_SND_FILENAME("SND_FILENAME");
inline const Name n_SND_ASYNC("SND_ASYNC");
inline const Name n_startfile("startfile");
inline const Name n_velmora__platform("velmora._platform");
inline const Name n_shell("shell");

} // namespace velmora
