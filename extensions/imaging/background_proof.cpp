// The background guess replaced and proved in one pass. The pixels are taken a block at a
// time: the guess's pixels are counted exactly, a block of one other colour goes into the
// bucket of that colour, and of a block of mixed colours only the number of pixels that are not
// the guess is kept. A colour other than the guess then has at most its bucket's count plus
// every pixel of the mixed blocks that is not the guess; when that stays below the guess's
// count for every bucket, the guess is the most frequent colour, tie or not. On a screenshot
// the mixed blocks are its text and edges and the background is far ahead of any colour; where
// the bound is not enough (a photograph) the caller counts exactly.
#include "imaging/imaging.hpp"
#include "imaging/words.hpp"

#include <algorithm>

namespace velmora::imaging {

namespace {

// Few enough buckets to stay in the nearest cache, enough that the bars and areas of a
// screenshot's other colours seldom share one.
constexpr std::size_t bucket_bits = 12;
constexpr std::size_t buckets = std::size_t(1) << bucket_bits;
// Long enough that the compiler turns the block's loop into vector instructions, short enough
// that a screenshot's areas of one colour fill whole blocks.
constexpr std::size_t block = 64;

std::size_t bucket_of(std::uint32_t word) {
    return std::size_t((word * 0x9E3779B1u) >> (32 - bucket_bits));
}

} // namespace

BackgroundProof::BackgroundProof(Colour guess)
    : guess_(guess), guess_word_(word_of(guess)), counts_(buckets, 0) {}

void BackgroundProof::add(std::uint32_t word, std::size_t count) {
    if (word == guess_word_) {
        guess_count_ += count;
    } else {
        counts_[bucket_of(word)] += std::uint32_t(count);
    }
}

void BackgroundProof::edit(std::span<const unsigned char> from, std::span<unsigned char> to,
                           bool opaque) {
    const std::uint32_t alpha = opaque ? word_of(0, 0, 0, 255) : 0;
    const BackgroundMatch match(guess_);
    const std::uint32_t guess = guess_word_;
    const std::size_t count = from.size() / 4;
    std::size_t i = 0;
    for (; count - i >= block; i += block) {
        // One pass over the block that reads, counts, compares and writes, which the compiler
        // turns into vector instructions. Each pixel is read before it is written, so `to`
        // may be `from`.
        const unsigned char* source = from.data() + 4 * i;
        unsigned char* target = to.data() + 4 * i;
        const std::uint32_t first = load_word(source) | alpha;
        std::uint32_t guessed = 0;
        std::uint32_t differ = 0;
        for (std::size_t k = 0; k < block; ++k) {
            const std::uint32_t word = load_word(source + 4 * k) | alpha;
            guessed += word == guess;
            differ |= word ^ first;
            store_word(target + 4 * k, match.edited(word));
        }
        if (differ == 0) {
            add(first, block);
        } else {
            guess_count_ += guessed;
            mixed_others_ += block - guessed;
        }
    }
    for (; i < count; ++i) {
        const std::uint32_t word = load_word(from.data() + 4 * i) | alpha;
        add(word, 1);
        store_word(to.data() + 4 * i, match.edited(word));
    }
}

bool BackgroundProof::proven() const {
    const std::uint64_t largest = *std::max_element(counts_.begin(), counts_.end());
    return largest + mixed_others_ < guess_count_;
}

} // namespace velmora::imaging
