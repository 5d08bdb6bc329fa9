// A read-only view of a two-dimensional matrix of doubles with arbitrary
// (possibly negative) byte strides. Element (i, j) is read by logical index,
// whatever the memory order of the underlying storage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tarvel {

struct MatrixView {
    const char* data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::ptrdiff_t row_stride = 0;  // bytes
    std::ptrdiff_t col_stride = 0;  // bytes

    double at(std::size_t i, std::size_t j) const {
        double value;
        // memcpy: the storage need not be aligned for double.
        std::memcpy(&value,
                    data + static_cast<std::ptrdiff_t>(i) * row_stride +
                        static_cast<std::ptrdiff_t>(j) * col_stride,
                    sizeof value);
        return value;
    }

    // A view of n x n contiguous row-major doubles.
    static MatrixView row_major(const double* values, std::size_t rows, std::size_t cols) {
        return MatrixView{reinterpret_cast<const char*>(values), rows, cols,
                          static_cast<std::ptrdiff_t>(cols * sizeof(double)),
                          static_cast<std::ptrdiff_t>(sizeof(double))};
    }
};

}  // namespace tarvel
