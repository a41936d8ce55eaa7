// The background guess replaced and proved in one pass: the guess's pixels are counted
// exactly, every other pixel goes into the bucket of its colour. A colour's count is at most its
// bucket's, so when every bucket stays below the guess's count the guess is the most frequent
// colour, tie or not.
#include "imaging/imaging.hpp"
#include "imaging/words.hpp"

#include <algorithm>

namespace velmora::imaging {

namespace {

// Few enough buckets to stay in the nearest cache; a bucket reaches the guess's count only when
// a colour comes close to it or when the guess is rare (and then the exact count runs).
constexpr std::size_t bucket_bits = 12;
constexpr std::size_t buckets = std::size_t(1) << bucket_bits;
// Pixels are taken a block at a time: a block of one colour is added at once; in any other the
// guess's pixels are counted together and each other pixel goes to its bucket.
constexpr std::size_t block = 16;

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
    std::uint32_t* counts = counts_.data();
    const std::size_t count = from.size() / 4;
    std::size_t i = 0;
    for (; count - i >= block; i += block) {
        const unsigned char* source = from.data() + 4 * i;
        unsigned char* target = to.data() + 4 * i;
        // One pass that reads, compares and writes, which the compiler turns into vector
        // instructions; the words are kept for the count below.
        std::uint32_t words[block];
        const std::uint32_t word = load_word(source) | alpha;
        std::uint32_t differ = 0;
        std::uint32_t guessed = 0;
        for (std::size_t k = 0; k < block; ++k) {
            const std::uint32_t other = load_word(source + 4 * k) | alpha;
            words[k] = other;
            differ |= other ^ word;
            guessed += other == guess;
            store_word(target + 4 * k, match.edited(other));
        }
        if (differ == 0) {
            add(word, block);
            continue;
        }
        // The other colours gathered without a branch (each stored, kept when not the guess),
        // then counted.
        guess_count_ += guessed;
        std::size_t gathered = 0;
        for (std::size_t k = 0; k < block; ++k) {
            words[gathered] = words[k];
            gathered += words[k] != guess;
        }
        for (std::size_t k = 0; k < gathered; ++k) {
            ++counts[bucket_of(words[k])];
        }
    }
    for (; i < count; ++i) {
        const std::uint32_t word = load_word(from.data() + 4 * i) | alpha;
        add(word, 1);
        store_word(to.data() + 4 * i, match.edited(word));
    }
}

bool BackgroundProof::proven() const {
    const std::uint32_t largest = *std::max_element(counts_.begin(), counts_.end());
    return largest < guess_count_;
}

} // namespace velmora::imaging
