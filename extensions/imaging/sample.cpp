// Where to look for a background guess: rows spread evenly over the picture, away from its
// edges, where title bars and borders sit.
#include "imaging/imaging.hpp"

namespace velmora::imaging {

std::size_t sample_rows(std::size_t height, std::size_t count, std::size_t* rows) {
    const std::size_t taken = count < height ? count : height;
    for (std::size_t k = 0; k < taken; ++k) {
        // The middle row of the k-th of `taken` equal slices.
        rows[k] = ((2 * k + 1) * height) / (2 * taken);
    }
    return taken;
}

} // namespace velmora::imaging
