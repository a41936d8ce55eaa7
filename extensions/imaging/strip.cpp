// The colour strip: the top rows of an 8-bit picture painted in one colour, straight into the
// picture's memory, whatever its layout.
#include "imaging/imaging.hpp"

#include <algorithm>
#include <cstring>

namespace velmora::imaging {

void paint_strip(const StridedPixels& pixels, std::ptrdiff_t rows, const unsigned char* colour) {
    rows = std::min(rows, pixels.rows);
    const std::ptrdiff_t channels = pixels.channels;
    const bool packed = pixels.channel_step == 1 && pixels.column_step == channels;
    if (packed && channels > 0 && pixels.columns > 0 && rows > 0) {
        // One row filled pixel by pixel, doubling what is done; the others copied from it.
        const std::ptrdiff_t row_bytes = pixels.columns * channels;
        unsigned char* first = pixels.at(0, 0, 0);
        std::memcpy(first, colour, std::size_t(channels));
        for (std::ptrdiff_t done = channels; done < row_bytes;) {
            const std::ptrdiff_t step = std::min(done, row_bytes - done);
            std::memcpy(first + done, first, std::size_t(step));
            done += step;
        }
        for (std::ptrdiff_t row = 1; row < rows; ++row) {
            std::memmove(pixels.at(row, 0, 0), first, std::size_t(row_bytes));
        }
        return;
    }
    for (std::ptrdiff_t row = 0; row < rows; ++row) {
        for (std::ptrdiff_t column = 0; column < pixels.columns; ++column) {
            for (std::ptrdiff_t channel = 0; channel < channels; ++channel) {
                *pixels.at(row, column, channel) = colour[channel];
            }
        }
    }
}

} // namespace velmora::imaging
