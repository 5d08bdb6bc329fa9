#include "numeric/random_stream.hpp"

#include "numeric/fault.hpp"

namespace tarvel {

RandomStream::RandomStream(SeedSequence& seeds)
    : state_{seeds.next(), seeds.next(), seeds.next(), seeds.next()} {}

std::uint64_t RandomStream::below(std::uint64_t bound) {
    __extension__ typedef unsigned __int128 Wide;
    // The high word of next() * bound is uniform once the draws whose low
    // word falls below 2^64 mod bound are rejected.
    Wide product = static_cast<Wide>(next()) * bound;
    if (static_cast<std::uint64_t>(product) < bound) {
        const std::uint64_t threshold = (0 - bound) % bound;
        while (static_cast<std::uint64_t>(product) < threshold) product = static_cast<Wide>(next()) * bound;
    }
    return static_cast<std::uint64_t>(product >> 64);
}

TakenValues::TakenValues(std::uint64_t population, std::uint64_t expected) : bits_(population <= kBitPopulation) {
    if (!bits_) hashed_.reserve(checked_count(expected, sizeof(std::uint64_t)));
}

bool TakenValues::contains(std::uint64_t value) const {
    return bits_ ? (words_[value / 64] >> (value % 64) & 1) != 0 : hashed_.contains(value);
}

bool TakenValues::insert(std::uint64_t value) {
    if (!bits_) return hashed_.insert(value).second;
    const std::uint64_t bit = std::uint64_t{1} << (value % 64);
    const bool fresh = (words_[value / 64] & bit) == 0;
    words_[value / 64] |= bit;
    return fresh;
}

std::vector<std::uint64_t> distinct_draws(RandomStream& stream, std::uint64_t count, std::uint64_t population) {
    if (count > population) raise_fault("more distinct draws than values to draw from");
    std::vector<std::uint64_t> drawn;
    reserve_checked(drawn, count);
    TakenValues taken(population, count);
    // Floyd: the j-th step draws from {0, ..., j} and takes j itself when the
    // draw is already taken, which keeps every set of `count` values equally likely.
    for (std::uint64_t j = population - count; j < population; ++j) {
        const std::uint64_t candidate = stream.below(j + 1);
        const std::uint64_t value = taken.contains(candidate) ? j : candidate;
        taken.insert(value);
        drawn.push_back(value);
    }
    stream.shuffle(std::span<std::uint64_t>(drawn));
    return drawn;
}

}  // namespace tarvel
