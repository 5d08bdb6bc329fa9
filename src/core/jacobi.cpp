#include "jacobi.hpp"

namespace tarvel::jacobi {

void RotationLog::record(std::size_t p, std::size_t q, double c, double s) {
    steps_.push_back({slot_of(p), slot_of(q), c, s});
    finite_steps_ = finite_steps_ && std::isfinite(c) && std::isfinite(s);
}

void RotationLog::write_columns(const std::vector<std::size_t>& order, std::size_t columns, double* out) const {
    const std::size_t n = slot_.size();
    const std::size_t touched_count = index_.size();
    // A row that no rotation names keeps V's row e_k: each step maps its
    // zeros to +0.0 again, unless c or s is not finite (0 * inf, NaN).
    std::vector<std::size_t> replayed;
    if (finite_steps_) {
        replayed = index_;
        for (std::size_t k = 0; k < n; ++k) {
            if (touched(k)) continue;
            for (std::size_t j = 0; j < columns; ++j) out[k * columns + j] = order[j] == k ? 1.0 : 0.0;
        }
    } else {
        replayed.resize(n);
        for (std::size_t k = 0; k < n; ++k) replayed[k] = k;
    }
    // kLanes rows at a time, one per lane: their replays are independent.
    std::vector<double> lanes(touched_count * kLanes);
    for (std::size_t first = 0; first < replayed.size(); first += kLanes) {
        const std::size_t lanes_used = std::min(kLanes, replayed.size() - first);
        for (std::size_t t = 0; t < touched_count; ++t)
            for (std::size_t l = 0; l < kLanes; ++l)
                lanes[t * kLanes + l] = l < lanes_used && index_[t] == replayed[first + l] ? 1.0 : 0.0;
        for (const Step& step : steps_) {
            double* __restrict vp = lanes.data() + step.p * kLanes;
            double* __restrict vq = lanes.data() + step.q * kLanes;
            for (std::size_t l = 0; l < kLanes; ++l) {
                const double old_p = vp[l], old_q = vq[l];
                vp[l] = step.c * old_p - step.s * old_q;
                vq[l] = old_q * step.c + old_p * step.s;
            }
        }
        for (std::size_t l = 0; l < lanes_used; ++l) {
            const std::size_t k = replayed[first + l];
            for (std::size_t j = 0; j < columns; ++j) {
                const std::size_t source = order[j];
                out[k * columns + j] =
                    touched(source) ? lanes[slot_[source] * kLanes + l] : (source == k ? 1.0 : 0.0);
            }
        }
    }
}

std::size_t RotationLog::slot_of(std::size_t i) {
    if (slot_[i] == kUntouched) {
        slot_[i] = index_.size();
        index_.push_back(i);
    }
    return slot_[i];
}

}  // namespace tarvel::jacobi
