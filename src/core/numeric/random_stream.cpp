#include "numeric/random_stream.hpp"

#include <unordered_set>

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

namespace {

// The values taken so far of a population small enough for one bit each
// (the pairs of a small graph): cheaper than hashing them.
class TakenBits {
public:
    static constexpr std::uint64_t kMaxPopulation = 4096;
    bool contains(std::uint64_t value) const { return (words_[value / 64] >> (value % 64) & 1) != 0; }
    void insert(std::uint64_t value) { words_[value / 64] |= std::uint64_t{1} << (value % 64); }

private:
    std::uint64_t words_[kMaxPopulation / 64] = {};
};

// Floyd: the j-th step draws from {0, ..., j} and takes j itself when the
// draw is already taken, which keeps every set of `count` values equally likely.
template <class Taken>
void draw_distinct(RandomStream& stream, std::uint64_t count, std::uint64_t population, Taken& taken,
                   std::vector<std::uint64_t>& drawn) {
    for (std::uint64_t j = population - count; j < population; ++j) {
        const std::uint64_t candidate = stream.below(j + 1);
        const std::uint64_t value = taken.contains(candidate) ? j : candidate;
        taken.insert(value);
        drawn.push_back(value);
    }
}

}  // namespace

std::vector<std::uint64_t> distinct_draws(RandomStream& stream, std::uint64_t count, std::uint64_t population) {
    if (count > population) raise_fault("more distinct draws than values to draw from");
    std::vector<std::uint64_t> drawn;
    reserve_checked(drawn, count);
    if (population <= TakenBits::kMaxPopulation) {
        TakenBits taken;
        draw_distinct(stream, count, population, taken, drawn);
    } else {
        std::unordered_set<std::uint64_t> taken;
        taken.reserve(checked_count(count, sizeof(std::uint64_t)));
        draw_distinct(stream, count, population, taken, drawn);
    }
    stream.shuffle(std::span<std::uint64_t>(drawn));
    return drawn;
}

}  // namespace tarvel
