// The background replacement: every pixel close to the background colour (red within 9 either
// way, green and blue equal, alpha not compared) becomes transparent white.
#include "imaging/imaging.hpp"
#include "imaging/words.hpp"

namespace velmora::imaging {

void replace_background(std::span<unsigned char> rgba, Colour background) {
    const BackgroundMatch match(background);
    unsigned char* pixels = rgba.data();
    const std::size_t count = rgba.size() / 4;
    for (std::size_t i = 0; i < count; ++i) {
        store_word(pixels + 4 * i, match.edited(load_word(pixels + 4 * i)));
    }
}

} // namespace velmora::imaging
