// Loops over arrays of doubles that the compiler vectorises: compiled for the
// baseline and for AVX2 (x86-64-v3), the variant chosen at load time where
// the CPU has it. Vectorised lanes perform each element's operations in the
// order written (the build never contracts or reassociates), so either
// variant gives the same bits.
//
// Kernels that spell out their lanes use the vectors below; their helpers
// are always inlined, so that each variant of a kernel gets its own copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) && defined(__GLIBC__) && !defined(__clang__)
#define TARVEL_VECTOR_KERNEL __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define TARVEL_VECTOR_KERNEL
#endif

#define TARVEL_LANE_HELPER [[gnu::always_inline]] inline

// The helpers pass vectors by value, but never across a call: g++'s note
// that AVX changes how a vector is returned does not apply to them.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

namespace tarvel::lanes {

inline constexpr std::size_t kWidth = 4;
typedef double Doubles __attribute__((vector_size(kWidth * sizeof(double))));
typedef std::uint64_t Words __attribute__((vector_size(kWidth * sizeof(std::uint64_t))));
typedef std::int64_t Mask __attribute__((vector_size(kWidth * sizeof(std::int64_t))));  // lane-wise comparisons

// kWidth consecutive values from any address.
template <class Vector, class T>
TARVEL_LANE_HELPER Vector load(const T* at) {
    Vector lanes;
    std::memcpy(&lanes, at, sizeof lanes);
    return lanes;
}

template <class Vector, class T>
TARVEL_LANE_HELPER void store(T* at, const Vector& lanes) {
    std::memcpy(at, &lanes, sizeof lanes);
}

}  // namespace tarvel::lanes
