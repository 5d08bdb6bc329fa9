#include "graph/component_pairs.hpp"

#include <algorithm>
#include <span>

#include "numeric/fault.hpp"
#include "numeric/interrupt.hpp"
#include "numeric/large_buffer.hpp"

namespace tarvel {

namespace {

// A node's place in the list of one component holding it.
struct Membership {
    std::uint64_t node;
    std::uint64_t component;
    std::uint64_t place;
};

// Every membership, grouped by node in increasing order: O(N log N) in the
// total N of the component lists, nothing per node without a component.
std::vector<Membership> memberships_by_node(const RigidComponents& components) {
    std::vector<Membership> held;
    held.reserve(components.nodes.size());
    for (std::uint64_t c = 0; c < components.count(); ++c) {
        for (std::uint64_t place = components.offsets[c]; place < components.offsets[c + 1]; ++place) {
            held.push_back({components.nodes[place], c, place});
        }
    }
    std::sort(held.begin(), held.end(), [](const Membership& a, const Membership& b) { return a.node < b.node; });
    return held;
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

std::vector<std::int64_t> pairs_within_components(const RigidComponents& components, double byte_limit) {
    const std::uint64_t most = pair_count(components);  // the count when no pair is in two components
    const double bytes = 16.0 * static_cast<double>(most);
    if (bytes > byte_limit) throw MemoryRefused("the closure's node pairs", bytes, byte_limit);
    const std::vector<Membership> held = memberships_by_node(components);
    // The partners above a node in one component holding it: the nodes after it.
    const auto later = [&](const Membership& membership) {
        const std::uint64_t* nodes = components.nodes.data();
        return std::span<const std::uint64_t>(nodes + membership.place + 1,
                                              nodes + components.offsets[membership.component + 1]);
    };
    std::vector<std::int64_t> flat;
    flat.reserve(2 * most);  // filled once, without zeroing first
    advise_huge_pages(flat.data(), flat.capacity() * sizeof(std::int64_t));  // far fewer page faults to fill it
    std::vector<std::uint64_t> row;  // the partners of one node in several components
    for (std::size_t first = 0, stop = 0; first < held.size(); first = stop) {
        check_interrupt();
        stop = first + 1;
        while (stop < held.size() && held[stop].node == held[first].node) ++stop;
        std::span<const std::uint64_t> partners = later(held[first]);
        if (stop - first > 1) {
            row.clear();
            for (std::size_t at = first; at < stop; ++at) row.insert(row.end(), later(held[at]).begin(), later(held[at]).end());
            std::sort(row.begin(), row.end());
            row.erase(std::unique(row.begin(), row.end()), row.end());  // only for components sharing two nodes
            partners = row;
        }
        const auto node = static_cast<std::int64_t>(held[first].node);
        for (const std::uint64_t j : partners) {
            flat.push_back(node);
            flat.push_back(static_cast<std::int64_t>(j));
        }
    }
    return flat;
}

}  // namespace tarvel
