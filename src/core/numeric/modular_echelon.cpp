#include "numeric/modular_echelon.hpp"

#include <algorithm>

#include "numeric/fault.hpp"
#include "numeric/interrupt.hpp"
#include "numeric/prime_field.hpp"
#include "numeric/random_stream.hpp"

namespace tarvel {

namespace field = prime_field;

ModularEchelon::ModularEchelon(std::uint64_t columns, bool keep_factors)
    : keep_factors_(keep_factors),
      row_of_column_(checked_count(columns, sizeof(std::uint64_t)), kNone),
      accumulator_(columns, 0),
      touched_(checked_count(columns / 64 + 1, sizeof(std::uint64_t)), 0) {}

void ModularEchelon::add(std::uint64_t column, std::uint64_t value) {
    accumulator_[column] = field::canonical(accumulator_[column] + value);
    touched_[column >> 6] |= std::uint64_t{1} << (column & 63);
    first_touched_ = std::min(first_touched_, column);
}

// The first column >= `column` whose bit is set, or kNone. Bits are only set
// ahead of the column being reduced, so one forward sweep over the words
// serves a whole offered row.
std::uint64_t ModularEchelon::next_touched(std::uint64_t column) const {
    std::uint64_t word = column >> 6;
    if (word >= touched_.size()) return kNone;
    std::uint64_t bits = touched_[word] & (~std::uint64_t{0} << (column & 63));
    while (bits == 0) {
        if (++word == touched_.size()) return kNone;
        bits = touched_[word];
    }
    return word * 64 + static_cast<std::uint64_t>(__builtin_ctzll(bits));
}

bool ModularEchelon::accept_offered() {
    factors_.clear();
    for (std::uint64_t c = first_touched_ == kNone ? kNone : next_touched(first_touched_); c != kNone;
         c = next_touched(c + 1)) {
        touched_[c >> 6] &= ~(std::uint64_t{1} << (c & 63));
        const std::uint64_t factor = field::canonical(accumulator_[c]);
        accumulator_[c] = 0;
        if (factor == 0) continue;
        const std::uint64_t k = row_of_column_[c];
        if (k == kNone) {
            accumulator_[c] = factor;
            store_offered(c);
            return true;
        }
        factors_.push_back({k, factor});
        subtract_row(k, factor);
    }
    first_touched_ = kNone;
    return false;
}

// offered -= factor * (stored row k without its leading 1).
void ModularEchelon::subtract_row(std::uint64_t k, std::uint64_t factor) {
    check_interrupt();
    const std::uint64_t begin = starts_[k], end = starts_[k + 1];
    for (std::uint64_t e = begin; e < end; ++e) {
        std::uint64_t& target = accumulator_[entry_columns_[e]];
        target = field::subtract_product(target, factor, entry_values_[e]);
    }
    for (std::uint64_t w = mask_starts_[k]; w < mask_starts_[k + 1]; ++w) touched_[mask_words_[w]] |= mask_bits_[w];
}

// Moves the offered row's non-zeros from `lead` on into a new stored row,
// scaled so that the leading entry is 1.
void ModularEchelon::store_offered(std::uint64_t lead) {
    const std::uint64_t scale = field::inverse(accumulator_[lead]);
    accumulator_[lead] = 0;
    for (std::uint64_t c = next_touched(lead); c != kNone; c = next_touched(c + 1)) {
        touched_[c >> 6] &= ~(std::uint64_t{1} << (c & 63));
        const std::uint64_t value = field::canonical(accumulator_[c]);
        accumulator_[c] = 0;
        if (value == 0) continue;
        entry_columns_.push_back(c);
        entry_values_.push_back(field::mul(value, scale));
        if (mask_words_.size() == mask_starts_.back() || mask_words_.back() != c >> 6) {
            mask_words_.push_back(c >> 6);
            mask_bits_.push_back(0);
        }
        mask_bits_.back() |= std::uint64_t{1} << (c & 63);
    }
    mask_starts_.push_back(mask_words_.size());
    row_of_column_[lead] = rank();
    starts_.push_back(entry_columns_.size());
    if (keep_factors_) {
        scale_of_row_.push_back(scale);
        kept_factors_.insert(kept_factors_.end(), factors_.begin(), factors_.end());
        factor_starts_.push_back(kept_factors_.size());
    }
    first_touched_ = kNone;
}

// u_k = s_k (a_k - sum_j f_kj u_j), so sum_k z_k u_k = sum_k w_k a_k where,
// from the last row back, w_k = s_k z_k and every earlier z_j loses
// w_k f_kj.
std::vector<std::uint64_t> ModularEchelon::accepted_combination(std::vector<std::uint64_t> z) const {
    if (!keep_factors_) raise_fault("accepted_combination: the factors were not kept");
    require_equal(z.size(), rank(), "accepted_combination: one coefficient per stored row");
    for (std::uint64_t k = rank(); k-- > 0;) {
        check_interrupt();
        z[k] = field::mul(field::canonical(z[k]), scale_of_row_[k]);
        for (std::uint64_t e = factor_starts_[k]; e < factor_starts_[k + 1]; ++e) {
            std::uint64_t& target = z[kept_factors_[e].row];
            target = field::subtract_product(target, z[k], kept_factors_[e].value);
        }
    }
    return z;
}

std::vector<std::uint64_t> ModularEchelon::random_null_vector(RandomStream& stream) const {
    std::vector<std::uint64_t> x(columns(), 0);
    for (std::uint64_t c = 0; c < columns(); ++c) {
        if (row_of_column_[c] == kNone) x[c] = stream.below(field::kPrime);
    }
    // A stored row's entries lie after its lead, in columns that are free
    // or lead rows stored earlier or later: settle the columns from the last.
    for (std::uint64_t c = columns(); c-- > 0;) {
        const std::uint64_t k = row_of_column_[c];
        if (k == kNone) continue;
        check_interrupt();
        std::uint64_t sum = 0;
        for (std::uint64_t e = starts_[k]; e < starts_[k + 1]; ++e) {
            sum = field::canonical(sum + field::mul(entry_values_[e], x[entry_columns_[e]]));
        }
        x[c] = field::sub(0, sum);
    }
    return x;
}

}  // namespace tarvel
