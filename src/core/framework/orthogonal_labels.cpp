#include "framework/orthogonal_labels.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <string>

#include "graph/graph.hpp"
#include "numeric/fault.hpp"

namespace tarvel {

namespace {

constexpr std::uint64_t kNone = ~std::uint64_t{0};

// The length of a vector of `count` values, without overflow or underflow
// on the way.
double length_of(const double* values, std::uint64_t count) {
    double largest = 0.0;
    for (std::uint64_t k = 0; k < count; ++k) largest = std::max(largest, std::fabs(values[k]));
    if (!(largest > 0.0)) return largest;
    double squares = 0.0;
    for (std::uint64_t k = 0; k < count; ++k) squares += (values[k] / largest) * (values[k] / largest);
    return largest * std::sqrt(squares);
}

double ask_physical_memory_bytes() {
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page <= 0) return std::numeric_limits<double>::infinity();
    return static_cast<double>(pages) * static_cast<double>(page);
}

// Asked once: a batch of small graphs has a component to check per graph,
// and the question is a system call.
double physical_memory_bytes() {
    static const double bytes = ask_physical_memory_bytes();
    return bytes;
}

}  // namespace

void OrthogonalBarLabeller::label(std::span<const double> positions, std::uint64_t d, std::span<const Pair> bars,
                                  double tol, BarLabels& out) {
    if (d != 2 && d != 3) throw InvalidInput("d must be 2 or 3, got " + std::to_string(d));
    if (positions.size() % d != 0) {
        throw InvalidInput("positions of " + std::to_string(positions.size()) + " values do not form rows of " +
                           std::to_string(d));
    }
    const std::uint64_t n = positions.size() / d;
    check_edges(n, bars);
    out.max_rank = rigid_rank(n, d);
    out.labels.assign(bars.size(), 0);
    find_scale(positions, d);
    build_adjacency(n, bars);

    // Bars no longer than tol times the framework's size have zero rows.
    double difference[3];
    for (std::uint64_t k = 0; k < bars.size(); ++k) {
        for (std::uint64_t a = 0; a < d; ++a) difference[a] = positions[bars[k].i * d + a] - positions[bars[k].j * d + a];
        if (length_of(difference, d) > tol * scale_) continue;
        alive_[k] = 0;
        --degree_[bars[k].i];
        --degree_[bars[k].j];
    }
    peel(positions, d, bars, tol, out.labels);
    label_components(positions, d, bars, tol, out.labels);
    out.rank = static_cast<std::uint64_t>(std::count(out.labels.begin(), out.labels.end(), std::uint8_t{1}));
}

// The largest distance of a node from the centroid.
void OrthogonalBarLabeller::find_scale(std::span<const double> positions, std::uint64_t d) {
    const std::uint64_t n = positions.size() / d;
    double centroid[3] = {0.0, 0.0, 0.0}, offset[3];
    for (std::uint64_t v = 0; v < n; ++v) {
        for (std::uint64_t a = 0; a < d; ++a) centroid[a] += positions[v * d + a] / static_cast<double>(n);
    }
    scale_ = 0.0;
    for (std::uint64_t v = 0; v < n; ++v) {
        for (std::uint64_t a = 0; a < d; ++a) offset[a] = positions[v * d + a] - centroid[a];
        scale_ = std::max(scale_, length_of(offset, d));
    }
}

void OrthogonalBarLabeller::build_adjacency(std::uint64_t n, std::span<const Pair> bars) {
    alive_.assign(bars.size(), 1);
    degree_.assign(n, 0);
    for (const Pair& bar : bars) {
        ++degree_[bar.i];
        ++degree_[bar.j];
    }
    first_bar_.assign(n + 1, 0);
    for (std::uint64_t v = 0; v < n; ++v) first_bar_[v + 1] = first_bar_[v] + degree_[v];
    incident_.resize(2 * bars.size());
    stack_.assign(first_bar_.begin(), first_bar_.end() - 1);  // next free place per node
    for (std::uint64_t k = 0; k < bars.size(); ++k) {
        incident_[stack_[bars[k].i]++] = k;
        incident_[stack_[bars[k].j]++] = k;
    }
    stack_.clear();
}

// Removes nodes of at most d live bars with independent directions, their
// bars labelled 1, until none is left.
void OrthogonalBarLabeller::peel(std::span<const double> positions, std::uint64_t d, std::span<const Pair> bars,
                                 double tol, std::vector<std::uint8_t>& labels) {
    const std::uint64_t n = degree_.size();
    for (std::uint64_t v = 0; v < n; ++v) {
        if (degree_[v] > 0 && degree_[v] <= d) stack_.push_back(v);
    }
    while (!stack_.empty()) {
        const std::uint64_t v = stack_.back();
        stack_.pop_back();
        if (degree_[v] == 0 || degree_[v] > d || !bars_at_node_independent(v, positions, d, bars, tol)) continue;
        for (std::uint64_t place = first_bar_[v]; place < first_bar_[v + 1]; ++place) {
            const std::uint64_t k = incident_[place];
            if (alive_[k] == 0) continue;
            alive_[k] = 0;
            labels[k] = 1;
            const std::uint64_t other = bars[k].i == v ? bars[k].j : bars[k].i;
            --degree_[v];
            --degree_[other];
            if (degree_[other] > 0 && degree_[other] <= d) stack_.push_back(other);
        }
    }
}

// Whether the directions of the live bars at `node` (at most d) are
// independent: each farther than tol from the span of those before it, by
// Gram-Schmidt twice over on unit vectors.
bool OrthogonalBarLabeller::bars_at_node_independent(std::uint64_t node, std::span<const double> positions,
                                                     std::uint64_t d, std::span<const Pair> bars, double tol) {
    double basis[3][3];
    std::uint64_t accepted = 0;
    for (std::uint64_t place = first_bar_[node]; place < first_bar_[node + 1]; ++place) {
        const std::uint64_t k = incident_[place];
        if (alive_[k] == 0) continue;
        const std::uint64_t other = bars[k].i == node ? bars[k].j : bars[k].i;
        double u[3];
        for (std::uint64_t a = 0; a < d; ++a) u[a] = positions[node * d + a] - positions[other * d + a];
        const double length = length_of(u, d);
        for (std::uint64_t a = 0; a < d; ++a) u[a] /= length;
        for (int pass = 0; pass < 2; ++pass) {
            for (std::uint64_t b = 0; b < accepted; ++b) {
                double dot = 0.0;
                for (std::uint64_t a = 0; a < d; ++a) dot += basis[b][a] * u[a];
                for (std::uint64_t a = 0; a < d; ++a) u[a] -= dot * basis[b][a];
            }
        }
        const double distance = length_of(u, d);
        if (!(distance > tol)) return false;
        for (std::uint64_t a = 0; a < d; ++a) basis[accepted][a] = u[a] / distance;
        ++accepted;
    }
    return true;
}

// Splits the live bars by connected component (kept in the given order
// within each) and labels each component on its own columns.
void OrthogonalBarLabeller::label_components(std::span<const double> positions, std::uint64_t d,
                                             std::span<const Pair> bars, double tol,
                                             std::vector<std::uint8_t>& labels) {
    const std::uint64_t n = degree_.size();
    local_.assign(n, kNone);
    component_of_.assign(n, kNone);
    component_sizes_.clear();
    for (std::uint64_t root = 0; root < n; ++root) {
        if (degree_[root] == 0 || component_of_[root] != kNone) continue;
        const std::uint64_t component = component_sizes_.size();
        std::uint64_t size = 0;
        stack_.push_back(root);
        component_of_[root] = component;
        while (!stack_.empty()) {
            const std::uint64_t v = stack_.back();
            stack_.pop_back();
            local_[v] = size++;
            for (std::uint64_t place = first_bar_[v]; place < first_bar_[v + 1]; ++place) {
                const std::uint64_t k = incident_[place];
                if (alive_[k] == 0) continue;
                const std::uint64_t other = bars[k].i == v ? bars[k].j : bars[k].i;
                if (component_of_[other] != kNone) continue;
                component_of_[other] = component;
                stack_.push_back(other);
            }
        }
        component_sizes_.push_back(size);
    }
    // The live bars grouped by component, in order within each.
    const std::uint64_t components = component_sizes_.size();
    bar_offsets_.assign(components + 1, 0);
    for (std::uint64_t k = 0; k < bars.size(); ++k) {
        if (alive_[k] != 0) ++bar_offsets_[component_of_[bars[k].i] + 1];
    }
    for (std::uint64_t c = 0; c < components; ++c) bar_offsets_[c + 1] += bar_offsets_[c];
    members_.resize(bar_offsets_[components]);
    stack_.assign(bar_offsets_.begin(), bar_offsets_.end() - 1);
    for (std::uint64_t k = 0; k < bars.size(); ++k) {
        if (alive_[k] != 0) members_[stack_[component_of_[bars[k].i]]++] = k;
    }
    stack_.clear();
    for (std::uint64_t c = 0; c < components; ++c) {
        const std::span<const std::uint64_t> members(members_.data() + bar_offsets_[c], bar_offsets_[c + 1] - bar_offsets_[c]);
        label_component(positions, d, bars, members, component_sizes_[c], tol, labels);
    }
}

void OrthogonalBarLabeller::label_component(std::span<const double> positions, std::uint64_t d,
                                            std::span<const Pair> bars, std::span<const std::uint64_t> members,
                                            std::uint64_t nodes, double tol, std::vector<std::uint8_t>& labels) {
    rows_.resize(checked_product(members.size(), 2 * d));
    RowEntry* entry = rows_.data();
    for (const std::uint64_t k : members) {
        const std::uint64_t i = bars[k].i, j = bars[k].j;
        for (std::uint64_t a = 0; a < d; ++a) {
            const double difference = positions[i * d + a] - positions[j * d + a];
            entry[a] = RowEntry{local_[i] * d + a, difference};
            entry[d + a] = RowEntry{local_[j] * d + a, -difference};
        }
        entry += 2 * d;
    }
    component_labels_.resize(members.size());
    const std::uint64_t columns = checked_product(nodes, d);
    if (SingleBlockRankTest::fits(members.size(), columns)) {
        SingleBlockRankTest::offer_rows(rows_, 2 * d, columns, tol, rigid_rank(nodes, d), component_labels_);
    } else {
        label_large_component(columns, nodes, d, tol);
    }
    for (std::uint64_t place = 0; place < members.size(); ++place) labels[members[place]] = component_labels_[place];
}

// The component's rows (in rows_) labelled into component_labels_ by the
// blocked test.
void OrthogonalBarLabeller::label_large_component(std::uint64_t columns, std::uint64_t nodes, std::uint64_t d,
                                                  double tol) {
    const std::uint64_t bars = component_labels_.size();
    // Refused before the work rather than met half-way: the reflections of
    // the rows the component can accept must fit in the machine's memory.
    const std::uint64_t most = std::min({bars, rigid_rank(nodes, d), columns});
    const double needed = HouseholderRankTest::storage_bytes(columns, most), available = physical_memory_bytes();
    if (needed > available) {
        throw MemoryRefused("labelling a connected core of " + std::to_string(nodes) + " nodes", needed,
                            available);
    }
    test_.reset(columns, tol);
    test_.offer_rows(rows_, 2 * d, rigid_rank(nodes, d), component_labels_);
}

BarLabels label_bars(std::span<const double> positions, std::uint64_t d, std::span<const Pair> bars, double tol,
                     LabelArithmetic arithmetic) {
    BarLabels out;
    if (arithmetic == LabelArithmetic::simulate) {
        BarLabeller labeller;
        labeller.label(nodes_from_rows(positions, d), d, bars, tol, out);
    } else {
        OrthogonalBarLabeller labeller;
        labeller.label(positions, d, bars, tol, out);
    }
    return out;
}

}  // namespace tarvel
