// The background replacement: every pixel close to the background colour (red within 9 either
// way, green and blue equal, alpha not compared) becomes transparent white.
#include "imaging/imaging.hpp"
#include "imaging/words.hpp"

#include <cstdlib>

namespace velmora::imaging {

bool matches_background(const unsigned char* pixel, Colour background) {
    const int red = int(background >> 24);
    const int green = int((background >> 16) & 0xFF);
    const int blue = int((background >> 8) & 0xFF);
    return std::abs(int(pixel[0]) - red) < 10 && int(pixel[1]) == green && int(pixel[2]) == blue;
}

void replace_background(std::span<unsigned char> rgba, Colour background) {
    const BackgroundMatch match(background);
    unsigned char* pixels = rgba.data();
    const std::size_t count = rgba.size() / 4;
    for (std::size_t i = 0; i < count; ++i) {
        store_word(pixels + 4 * i, match.edited(load_word(pixels + 4 * i)));
    }
}

} // namespace velmora::imaging
