#include "graph/rigidity_closure.hpp"

#include <algorithm>

#include "graph/generic_framework.hpp"
#include "numeric/fault.hpp"
#include "numeric/interrupt.hpp"
#include "numeric/prime_field.hpp"
#include "numeric/random_stream.hpp"

namespace tarvel {

namespace field = prime_field;

namespace {

constexpr std::uint64_t kMotions = 2;

// The lowest set bit of `words`, or words.size() * 64 when none is set.
std::uint64_t lowest_bit(std::span<const std::uint64_t> words) {
    for (std::size_t w = 0; w < words.size(); ++w) {
        if (words[w] != 0) return w * 64 + static_cast<std::uint64_t>(__builtin_ctzll(words[w]));
    }
    return words.size() * 64;
}

// Components through the implied pair (i, j) whose two smallest nodes are
// i < j, appended to `found` (each a sorted node list).
void components_through(const ImpliedPairs& pairs, std::uint64_t i, std::uint64_t j, std::vector<std::uint64_t>& common,
                        std::vector<std::vector<std::uint64_t>>& found) {
    const auto row_i = pairs.row(i), row_j = pairs.row(j);
    bool any = false;
    for (std::size_t w = 0; w < common.size(); ++w) {
        common[w] = row_i[w] & row_j[w];
        any = any || common[w] != 0;
    }
    if (!any) {
        found.push_back({i, j});
        return;
    }
    for (std::uint64_t x = lowest_bit(common); x < pairs.size(); x = lowest_bit(common)) {
        const auto row_x = pairs.row(x);
        std::vector<std::uint64_t> component;
        if (x > j) component = {i, j};
        for (std::size_t w = 0; w < common.size(); ++w) {
            std::uint64_t clique = common[w] & (row_x[w] | (w == (x >> 6) ? std::uint64_t{1} << (x & 63) : 0));
            common[w] &= ~clique;
            if (x < j) continue;
            for (; clique != 0; clique &= clique - 1) {
                component.push_back(w * 64 + static_cast<std::uint64_t>(__builtin_ctzll(clique)));
            }
        }
        if (x > j) found.push_back(std::move(component));
    }
}

}  // namespace

ImpliedPairs::ImpliedPairs(std::uint64_t n)
    : n_(n), words_(n / 64 + 1), bits_(checked_count(checked_product(n, n / 64 + 1), sizeof(std::uint64_t)), 0) {}

void ImpliedPairs::set(std::uint64_t i, std::uint64_t j) {
    bits_[i * words_ + (j >> 6)] |= std::uint64_t{1} << (j & 63);
    bits_[j * words_ + (i >> 6)] |= std::uint64_t{1} << (i & 63);
}

ImpliedPairs implied_pairs(std::uint64_t n, std::span<const Pair> edges, std::uint64_t d, std::uint64_t seed) {
    ImpliedPairs pairs(n);
    const GenericFramework framework(n, edges, d, seed, {.columns_for_every_node = true, .rows_in_column_order = true});
    SeedSequence motion_seeds(splitmix64(seed ^ 0x6d6f74696f6eULL));
    std::vector<std::uint64_t> positions(checked_product(n, d));
    for (std::uint64_t v = 0; v < n; ++v) {
        for (std::uint64_t axis = 0; axis < d; ++axis) positions[v * d + axis] = framework.coordinate(v, axis);
    }
    std::vector<std::vector<std::uint64_t>> motions;
    for (std::uint64_t k = 0; k < kMotions; ++k) {
        RandomStream stream(motion_seeds);
        motions.push_back(framework.random_motion(stream));
    }
    for (std::uint64_t i = 0; i < n; ++i) {
        check_interrupt();
        for (std::uint64_t j = i + 1; j < n; ++j) {
            bool implied = true;
            for (std::uint64_t k = 0; k < kMotions && implied; ++k) {
                const std::vector<std::uint64_t>& u = motions[k];
                std::uint64_t stretch = 0;
                for (std::uint64_t axis = 0; axis < d; ++axis) {
                    const std::uint64_t dp = field::sub(positions[i * d + axis], positions[j * d + axis]);
                    const std::uint64_t du = field::sub(u[i * d + axis], u[j * d + axis]);
                    stretch = field::canonical(stretch + field::mul(dp, du));
                }
                implied = stretch == 0;
            }
            if (implied) pairs.set(i, j);
        }
    }
    return pairs;
}

RigidComponents components_of_closure(const ImpliedPairs& pairs, std::span<const Pair> edges) {
    const std::uint64_t n = pairs.size();
    std::vector<std::vector<std::uint64_t>> found;
    std::vector<std::uint64_t> common(pairs.words());
    for (std::uint64_t i = 0; i < n; ++i) {
        const auto row = pairs.row(i);
        for (std::uint64_t w = (i + 1) >> 6; w < row.size(); ++w) {
            for (std::uint64_t bits = row[w]; bits != 0; bits &= bits - 1) {
                const std::uint64_t j = w * 64 + static_cast<std::uint64_t>(__builtin_ctzll(bits));
                if (j <= i) continue;
                check_interrupt();
                components_through(pairs, i, j, common, found);
            }
        }
    }
    std::sort(found.begin(), found.end());

    RigidComponents out;
    std::vector<std::vector<std::uint64_t>> components_of(n);
    for (std::size_t c = 0; c < found.size(); ++c) {
        out.nodes.insert(out.nodes.end(), found[c].begin(), found[c].end());
        out.offsets.push_back(out.nodes.size());
        for (const std::uint64_t v : found[c]) components_of[v].push_back(c);
    }
    out.edge_component.reserve(edges.size());
    for (const Pair& edge : edges) {
        const auto& a = components_of[edge.i];
        const auto& b = components_of[edge.j];
        std::vector<std::uint64_t> shared;
        std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(shared));
        out.edge_component.push_back(shared.empty() ? -1 : static_cast<std::int64_t>(shared.front()));
    }
    return out;
}

}  // namespace tarvel
