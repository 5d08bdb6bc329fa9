// Sparse row echelon form modulo the prime p = 2^61 - 1, built one offered
// row at a time, with what the left and right null spaces need.
//
// Each stored row k leads with an implicit 1 in its own column and is zero
// before it; no two rows lead in the same column. An offered row is reduced,
// left to right, against the stored rows whose leading columns it meets;
// it is stored when something is left. The work depends on the order of the
// columns, not the answers: callers number the columns so that stored rows
// stay short (a fill-reducing order of the nodes, see graph/node_ordering).
//
// Left null space. A stored row is u_k = s_k (a_k - sum_j f_kj u_j), with
// a_k the k-th accepted row, f_kj the factors it was reduced by and s_k its
// scale; a rejected row b is sum_j c_j u_j. With the factors kept, any
// combination sum_j z_j u_j is rewritten as a combination of accepted rows
// by one backward pass, which turns the rejected rows' factors into
// dependencies among the offered rows (equilibrium stresses, for a rigidity
// matrix).
//
// Right null space. Free values at the columns that lead no row, then back
// substitution, give a vector every stored row is orthogonal to.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tarvel {

class RandomStream;

class ModularEchelon {
public:
    struct Factor {
        std::uint64_t row;    // a stored row
        std::uint64_t value;  // the multiple of it subtracted
    };

    // `keep_factors`: remember how each stored row was reduced (needed by
    // accepted_combination; costs about as much memory as the rows).
    ModularEchelon(std::uint64_t columns, bool keep_factors);

    std::uint64_t rank() const { return starts_.size() - 1; }
    std::uint64_t columns() const { return row_of_column_.size(); }

    // Adds `value` (below p) to one entry of the row being offered.
    void add(std::uint64_t column, std::uint64_t value);

    // True, and the reduced row is stored as row rank() - 1, when the offered
    // row is independent of the stored ones. Either way the offered row is
    // cleared and `last_factors()` holds the multiples of stored rows it was
    // reduced by (for a rejected row: its coordinates in the stored rows).
    bool accept_offered();
    std::span<const Factor> last_factors() const { return factors_; }

    // Given z over the stored rows, the coefficients w over the accepted
    // rows (in acceptance order) with sum_k w_k a_k = sum_k z_k u_k.
    // Needs keep_factors.
    std::vector<std::uint64_t> accepted_combination(std::vector<std::uint64_t> z) const;

    // A vector x with u_k . x = 0 for every stored row: uniform random values
    // at the free columns, the rest by back substitution.
    std::vector<std::uint64_t> random_null_vector(RandomStream& stream) const;

private:
    static constexpr std::uint64_t kNone = ~std::uint64_t{0};

    std::uint64_t next_touched(std::uint64_t column) const;
    void subtract_row(std::uint64_t k, std::uint64_t factor);
    void store_offered(std::uint64_t lead);

    bool keep_factors_;
    std::vector<std::uint64_t> starts_{0};  // row k's entries: [starts_[k], starts_[k + 1])
    std::vector<std::uint64_t> entry_columns_;
    std::vector<std::uint64_t> entry_values_;
    // Row k's columns as bits: words mask_words_[w], bits mask_bits_[w], for
    // w in [mask_starts_[k], mask_starts_[k + 1]); marking a row's columns
    // touched costs a word per 64 columns.
    std::vector<std::uint64_t> mask_starts_{0};
    std::vector<std::uint64_t> mask_words_;
    std::vector<std::uint64_t> mask_bits_;
    std::vector<std::uint64_t> scale_of_row_;
    std::vector<std::uint64_t> factor_starts_{0};  // row k's factors: [factor_starts_[k], factor_starts_[k + 1])
    std::vector<Factor> kept_factors_;
    std::vector<std::uint64_t> row_of_column_;
    std::vector<std::uint64_t> accumulator_;
    std::vector<std::uint64_t> touched_;  // bit per column: the offered row may be non-zero there
    std::vector<Factor> factors_;
    std::uint64_t first_touched_ = kNone;
};

}  // namespace tarvel
