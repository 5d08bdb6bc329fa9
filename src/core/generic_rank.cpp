#include "generic_rank.hpp"

#include <algorithm>
#include <limits>

#include "fault.hpp"
#include "graph.hpp"

namespace tarvel {

namespace {

constexpr std::uint64_t kPrime = (std::uint64_t{1} << 61) - 1;
constexpr std::uint64_t kNoPivot = std::numeric_limits<std::uint64_t>::max();

std::uint64_t splitmix64(std::uint64_t x) {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// Coordinate `axis` of node `node`: 60 bits of splitmix64 chained over
// (seed, node, axis), uniform in {0, ..., 2^60 - 1}.
std::uint64_t draw_coordinate(std::uint64_t seed, std::uint64_t node, std::uint64_t axis) {
    return splitmix64(splitmix64(splitmix64(seed) ^ node) ^ axis) >> 4;
}

std::uint64_t add_mod(std::uint64_t a, std::uint64_t b) {
    const std::uint64_t s = a + b;
    return s >= kPrime ? s - kPrime : s;
}

std::uint64_t sub_mod(std::uint64_t a, std::uint64_t b) { return a >= b ? a - b : a + kPrime - b; }

__extension__ typedef unsigned __int128 Product;

std::uint64_t mul_mod(std::uint64_t a, std::uint64_t b) {
    const Product product = static_cast<Product>(a) * b;
    // 2^61 = 1 (mod p): fold the high bits onto the low ones.
    return add_mod(static_cast<std::uint64_t>(product) & kPrime, static_cast<std::uint64_t>(product >> 61));
}

std::uint64_t pow_mod(std::uint64_t base, std::uint64_t exponent) {
    std::uint64_t result = 1;
    for (; exponent != 0; exponent >>= 1, base = mul_mod(base, base)) {
        if (exponent & 1) result = mul_mod(result, base);
    }
    return result;
}

std::uint64_t inverse_mod(std::uint64_t a) { return pow_mod(a, kPrime - 2); }

// Rows in echelon form modulo p: row k has its leading entry, 1, in column
// pivots[k] and zeros before it; no two rows lead in the same column.
class ModularEchelon {
public:
    explicit ModularEchelon(std::uint64_t ncols)
        : ncols_(ncols), row_of_column_(checked_count(ncols, sizeof(std::uint64_t)), kNoPivot),
          incoming_(checked_count(ncols, sizeof(std::uint64_t))) {}

    std::uint64_t rank() const { return rank_; }

    // The row being offered, all zeros: fill it, then call accept_incoming.
    std::uint64_t* incoming() { return incoming_.data(); }

    // Reduces the incoming row against the stored ones; stores it and returns
    // true when something is left. The incoming row is zero afterwards.
    bool accept_incoming() {
        for (std::uint64_t c = 0; c < ncols_; ++c) {
            const std::uint64_t factor = incoming_[c];
            if (factor == 0) continue;
            const std::uint64_t k = row_of_column_[c];
            if (k == kNoPivot) {
                store_incoming(c);
                return true;
            }
            const std::uint64_t* row = rows_.data() + k * ncols_;
            for (std::uint64_t col = c; col < ncols_; ++col) {
                incoming_[col] = sub_mod(incoming_[col], mul_mod(factor, row[col]));
            }
        }
        return false;
    }

private:
    void store_incoming(std::uint64_t lead) {
        rows_.resize(checked_count(checked_product(rank_ + 1, ncols_), sizeof(std::uint64_t)));
        std::uint64_t* row = rows_.data() + rank_ * ncols_;
        const std::uint64_t scale = inverse_mod(incoming_[lead]);
        for (std::uint64_t col = lead; col < ncols_; ++col) {
            row[col] = mul_mod(incoming_[col], scale);
            incoming_[col] = 0;
        }
        row_of_column_[lead] = rank_++;
    }

    std::uint64_t ncols_;
    std::uint64_t rank_ = 0;
    std::vector<std::uint64_t> rows_;
    std::vector<std::uint64_t> row_of_column_;
    std::vector<std::uint64_t> incoming_;
};

void check_dimension(std::uint64_t d) {
    if (d != 2 && d != 3) throw InvalidInput("d must be 2 or 3");
}

}  // namespace

GenericRankResult generic_rigidity_labels(std::uint64_t n, std::span<const Pair> edges, std::uint64_t d,
                                          std::uint64_t seed) {
    check_dimension(d);
    check_edges(n, edges);
    const std::uint64_t full_rank = rigid_rank(n, d);

    GenericRankResult result;
    result.labels.assign(checked_count(edges.size(), 1), 0);
    if (full_rank == 0) return result;

    const std::uint64_t ncols = checked_product(n, d);
    std::vector<std::uint64_t> coordinates(checked_count(ncols, sizeof(std::uint64_t)));
    for (std::uint64_t node = 0; node < n; ++node) {
        for (std::uint64_t axis = 0; axis < d; ++axis) coordinates[node * d + axis] = draw_coordinate(seed, node, axis);
    }

    ModularEchelon echelon(ncols);
    for (std::size_t k = 0; k < edges.size() && echelon.rank() < full_rank; ++k) {
        const Pair& edge = edges[k];
        std::uint64_t* row = echelon.incoming();
        for (std::uint64_t axis = 0; axis < d; ++axis) {
            const std::uint64_t difference = sub_mod(coordinates[edge.i * d + axis], coordinates[edge.j * d + axis]);
            row[edge.i * d + axis] = difference;
            row[edge.j * d + axis] = sub_mod(0, difference);
        }
        result.labels[k] = echelon.accept_incoming() ? 1 : 0;
    }
    result.rank = echelon.rank();
    return result;
}

}  // namespace tarvel
