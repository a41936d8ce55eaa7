// RGBX pixels (as Pillow hands out an RGB picture four bytes a pixel, the fourth byte filler)
// copied as opaque RGBA pixels: the three colour bytes kept, alpha set to 255.
#include "imaging/imaging.hpp"
#include "imaging/words.hpp"

namespace velmora::imaging {

void copy_opaque(std::span<const unsigned char> rgbx, std::span<unsigned char> rgba) {
    const std::uint32_t opaque = word_of(0, 0, 0, 255);
    const unsigned char* from = rgbx.data();
    unsigned char* to = rgba.data();
    const std::size_t count = rgbx.size() / 4;
    for (std::size_t i = 0; i < count; ++i) {
        store_word(to + 4 * i, load_word(from + 4 * i) | opaque);
    }
}

} // namespace velmora::imaging
