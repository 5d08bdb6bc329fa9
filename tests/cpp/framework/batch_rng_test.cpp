#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <new>
#include <string>
#include <vector>

#include "numeric/fault.hpp"
#include "framework/batch_rng.hpp"
#include "support/fault_capture.hpp"

namespace tarvel {
namespace {

std::vector<std::vector<double>> positions_of(const NodeList& nodes) {
    std::vector<std::vector<double>> positions;
    for (std::size_t k = 0; k < nodes.size(); ++k) {
        EXPECT_EQ(nodes[k].index, k);
        positions.push_back(nodes[k].position);
    }
    return positions;
}

struct DrawCase {
    std::uint64_t seed, k, n, d;
    std::vector<std::vector<double>> positions;
};

class RandomNodeListValues : public ::testing::TestWithParam<DrawCase> {};

TEST_P(RandomNodeListValues, AreReproducedExactly) {
    const DrawCase& c = GetParam();
    EXPECT_EQ(positions_of(random_node_list(c.seed, c.k, c.n, c.d)), c.positions);
}

// Seeds 1 and 42 tell a division followed by a multiplication apart from one
// multiplication by 10/(2^32-1): the latter is off by one bit there.
INSTANTIATE_TEST_SUITE_P(
    Streams, RandomNodeListValues,
    ::testing::Values(
        DrawCase{0, 0, 3, 2,
                 {{0.3910432733574517, 0.5084937998346272},
                  {3.026616613619639, 2.0060810172013195},
                  {1.918128983098578, 2.8042981663728828}}},
        DrawCase{0, 0, 2, 3,
                 {{0.3910432733574517, 0.5084937998346272, 3.026616613619639},
                  {2.0060810172013195, 1.918128983098578, 2.8042981663728828}}},
        DrawCase{0, 1, 1, 2, {{2.116045854547072, 2.5470372132368007}}},
        DrawCase{42, 0, 1, 2, {{2.841151632098749, 1.1273171429353108}}},
        DrawCase{7, 0, 0, 3, {}}));

TEST(RandomNodeList, SeedPlusGraphNumberWrapsAround) {
    EXPECT_EQ(positions_of(random_node_list(~std::uint64_t{0}, 1, 4, 2)),
              positions_of(random_node_list(0, 0, 4, 2)));
    EXPECT_EQ(positions_of(random_node_list(7, 2, 5, 3)), positions_of(random_node_list(9, 0, 5, 3)));
}

// Inverse of the multiplier modulo 2^64 (Newton's iteration doubles the
// correct low bits each step).
std::uint64_t inverse_multiplier() {
    std::uint64_t inverse = GraphRng::multiplier;  // correct to 3 bits for an odd number
    for (int step = 0; step < 5; ++step) inverse *= 2 - GraphRng::multiplier * inverse;
    return inverse;
}

TEST(GraphRng, LargestDrawStaysBelowHalf) {
    // The seed whose first state has all bits set gives the top 31-bit value.
    const std::uint64_t seed = (~std::uint64_t{0} - GraphRng::increment) * inverse_multiplier();
    GraphRng rng(seed, 0);
    EXPECT_EQ(rng.next_fraction() * 10.0, 4.999999998835847);
}

std::string fault_of(std::uint64_t n, std::uint64_t d) {
    return internal_fault_of([&] { random_node_list(0, 0, n, d); });
}

TEST(RandomNodeList, UnaddressableSizesAreCapacityOverflow) {
    EXPECT_EQ(fault_of(std::uint64_t{1} << 60, 2), "capacity overflow");
    EXPECT_EQ(fault_of(3, std::uint64_t{1} << 62), "capacity overflow");
    EXPECT_EQ(fault_of(std::uint64_t{1} << 32, std::uint64_t{1} << 32), "capacity overflow");
}

// Lowers the address-space limit for one scope, so that an oversized
// reservation fails whatever the machine's overcommit policy.
class AddressSpaceLimit {
public:
    explicit AddressSpaceLimit(rlim_t bytes) {
        getrlimit(RLIMIT_AS, &saved_);
        rlimit lowered = saved_;
        lowered.rlim_cur = std::min(bytes, saved_.rlim_max);
        setrlimit(RLIMIT_AS, &lowered);
    }
    ~AddressSpaceLimit() { setrlimit(RLIMIT_AS, &saved_); }

private:
    rlimit saved_{};
};

TEST(RandomNodeList, HugeNodeCountFailsAtTheReservation) {
    TARVEL_SKIP_WHERE_ALLOCATION_FAILURE_ABORTS();
    const auto start = std::chrono::steady_clock::now();
    {
        const AddressSpaceLimit limit(rlim_t{64} << 30);
        EXPECT_THROW(random_node_list(0, 0, std::uint64_t{1} << 40, 2), std::bad_alloc);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

}  // namespace
}  // namespace tarvel
