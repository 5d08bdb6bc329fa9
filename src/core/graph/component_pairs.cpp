#include "graph/component_pairs.hpp"

#include <algorithm>
#include <span>

#include "numeric/fault.hpp"
#include "numeric/interrupt.hpp"
#include "numeric/large_buffer.hpp"

namespace tarvel {

namespace {

// Where each node sits in the components that hold it, grouped by node
// (compressed rows): which component, and the node's place in its list.
struct Memberships {
    std::vector<std::uint64_t> start;  // per node, n + 1 offsets into the two lists below
    std::vector<std::uint64_t> component;
    std::vector<std::uint64_t> place;
};

Memberships memberships_of(std::uint64_t n, const RigidComponents& components) {
    Memberships found;
    found.start.assign(n + 1, 0);
    for (const std::uint64_t node : components.nodes) ++found.start[node + 1];
    for (std::uint64_t node = 0; node < n; ++node) found.start[node + 1] += found.start[node];
    found.component.resize(components.nodes.size());
    found.place.resize(components.nodes.size());
    std::vector<std::uint64_t> cursor(found.start.begin(), found.start.end() - 1);
    for (std::uint64_t c = 0; c < components.count(); ++c) {
        for (std::uint64_t place = components.offsets[c]; place < components.offsets[c + 1]; ++place) {
            const std::uint64_t slot = cursor[components.nodes[place]]++;
            found.component[slot] = c;
            found.place[slot] = place;
        }
    }
    return found;
}

std::uint64_t pair_count(const RigidComponents& components) {
    std::uint64_t pairs = 0;
    for (std::uint64_t c = 0; c < components.count(); ++c) {
        const std::uint64_t size = components.offsets[c + 1] - components.offsets[c];
        pairs += size * (size - 1) / 2;
    }
    return pairs;
}

}  // namespace

std::vector<std::int64_t> pairs_within_components(std::uint64_t n, const RigidComponents& components,
                                                  double byte_limit) {
    const std::uint64_t most = pair_count(components);  // the count when no pair is in two components
    const double bytes = 16.0 * static_cast<double>(most);
    if (bytes > byte_limit) throw MemoryRefused("the closure's node pairs", bytes, byte_limit);
    const Memberships held = memberships_of(n, components);
    std::vector<std::int64_t> flat;
    flat.reserve(2 * most);  // filled once, without zeroing first
    advise_huge_pages(flat.data(), flat.capacity() * sizeof(std::int64_t));  // far fewer page faults to fill it
    std::vector<std::uint64_t> row;  // the partners of one node in several components
    for (std::uint64_t i = 0; i < n; ++i) {
        check_interrupt();
        const std::uint64_t first = held.start[i], stop = held.start[i + 1];
        if (first == stop) continue;
        // The partners above i: in each component holding i, the nodes after it.
        const auto later = [&](std::uint64_t slot) {
            const std::uint64_t* nodes = components.nodes.data();
            return std::span<const std::uint64_t>(nodes + held.place[slot] + 1,
                                                  nodes + components.offsets[held.component[slot] + 1]);
        };
        std::span<const std::uint64_t> partners = later(first);
        if (stop - first > 1) {
            row.clear();
            for (std::uint64_t slot = first; slot < stop; ++slot) row.insert(row.end(), later(slot).begin(), later(slot).end());
            std::sort(row.begin(), row.end());
            row.erase(std::unique(row.begin(), row.end()), row.end());  // only for components sharing two nodes
            partners = row;
        }
        const auto node = static_cast<std::int64_t>(i);
        for (const std::uint64_t j : partners) {
            flat.push_back(node);
            flat.push_back(static_cast<std::int64_t>(j));
        }
    }
    return flat;
}

}  // namespace tarvel
