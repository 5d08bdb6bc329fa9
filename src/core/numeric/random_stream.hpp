// The random numbers of the graph models: integer draws from a seeded
// generator, and one documented map from integers to doubles, so that every
// model graph is the same bits on every machine.
//
// Generator: xoshiro256** (Blackman and Vigna, "Scrambled linear
// pseudorandom number generators", ACM TOMS 47, 2021), period 2^256 - 1,
// whose four state words are four successive outputs of splitmix64 (Steele,
// Lea and Flood, OOPSLA 2014) started at a 64-bit seed.
//
// Draws:
//   next()      the generator's 64-bit output;
//   below(b)    uniform in {0, ..., b-1} by Lemire's multiply-and-reject
//               ("Fast random integer generation in an interval", ACM TOMCAT
//               29, 2019): exact, no modulo bias;
//   unit()      (next() >> 11) * 2^-53: the 53-bit integer scaled by a power
//               of two, exact, uniform on the multiples of 2^-53 in [0, 1);
//   chance(p)   unit() < p.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <unordered_set>
#include <utility>
#include <vector>

namespace tarvel {

// splitmix64's output for the state x + golden gamma: the generator whose
// state advances by the golden gamma and whose output is this mix.
constexpr std::uint64_t splitmix64(std::uint64_t x) {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// The splitmix64 generator: a cheap source of well-mixed seeds.
class SeedSequence {
public:
    explicit constexpr SeedSequence(std::uint64_t seed) : state_(seed) {}

    constexpr std::uint64_t next() {
        const std::uint64_t out = splitmix64(state_);
        state_ += 0x9e3779b97f4a7c15ULL;
        return out;
    }

private:
    std::uint64_t state_;
};

class RandomStream {
public:
    // Four words of the seed sequence become the state (never all zero:
    // splitmix64 is a bijection of successive distinct states).
    explicit RandomStream(SeedSequence& seeds);

    std::uint64_t next() {
        const std::uint64_t result = rotate_left(state_[1] * 5, 7) * 9;
        const std::uint64_t t = state_[1] << 17;
        state_[2] ^= state_[0];
        state_[3] ^= state_[1];
        state_[1] ^= state_[2];
        state_[0] ^= state_[3];
        state_[2] ^= t;
        state_[3] = rotate_left(state_[3], 45);
        return result;
    }

    // Uniform in {0, ..., bound - 1}; bound must be at least 1.
    std::uint64_t below(std::uint64_t bound);

    double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

    bool chance(double probability) { return unit() < probability; }

    // A uniformly random order (Fisher-Yates, from the back).
    template <class T>
    void shuffle(std::span<T> items) {
        for (std::size_t k = items.size(); k > 1; --k) {
            std::swap(items[k - 1], items[below(k)]);
        }
    }

private:
    static constexpr std::uint64_t rotate_left(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

    std::array<std::uint64_t, 4> state_;
};

// The values of {0, ..., population - 1} taken so far: one bit each for a
// small population (the pairs of a small graph), cheaper than hashing them;
// a hash set sized for `expected` values otherwise.
class TakenValues {
public:
    TakenValues(std::uint64_t population, std::uint64_t expected);
    bool contains(std::uint64_t value) const;
    bool insert(std::uint64_t value);  // false when it was taken already

private:
    static constexpr std::uint64_t kBitPopulation = 4096;
    bool bits_;
    std::array<std::uint64_t, kBitPopulation / 64> words_{};
    std::unordered_set<std::uint64_t> hashed_;
};

// `count` distinct values of {0, ..., population - 1}, every such set equally
// likely and in a uniformly random order (Floyd's selection, then a shuffle).
// Callers check count <= population; a breach is an InternalFault.
std::vector<std::uint64_t> distinct_draws(RandomStream& stream, std::uint64_t count, std::uint64_t population);

}  // namespace tarvel
