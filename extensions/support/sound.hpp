// Sounds played from a file through the `winsound` that a module namespace holds, looked up at
// each use so that a replaced `winsound` is the one that plays.
#pragma once

#include "support/module.hpp"
#include "support/names.hpp"

namespace velmora {

enum class Playback {
    to_end,    // `winsound.PlaySound(sound, winsound.SND_FILENAME)`: returns when it ends
    background // `... winsound.SND_FILENAME | winsound.SND_ASYNC`: returns at once
};

inline void play_sound(const ModuleLifecycle& module, Borrowed sound, Playback playback) {
    Ref play = getattr(module.lookup(n_winsound), n_PlaySound);
    Ref from_file = getattr(module.lookup(n_winsound), n_SND_FILENAME);
    if (playback == Playback::to_end) {
        call(play, sound, from_file);
        return;
    }
    Ref asynchronously = getattr(module.lookup(n_winsound), n_SND_ASYNC);
    call(play, sound, bitwise_or(from_file, asynchronously));
}

} // namespace velmora
