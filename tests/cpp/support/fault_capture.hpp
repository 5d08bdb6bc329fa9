// Runs a callable and returns the message of the fault it raised, so tests
// can compare messages in one EXPECT_EQ.
#pragma once

#include <string>

#include "numeric/fault.hpp"

// Under AddressSanitizer a failed allocation aborts the process instead of
// throwing std::bad_alloc, so tests of allocation failure skip themselves.
#if defined(__SANITIZE_ADDRESS__)
#define TARVEL_SKIP_WHERE_ALLOCATION_FAILURE_ABORTS() GTEST_SKIP() << "allocation failure aborts under AddressSanitizer"
#else
#define TARVEL_SKIP_WHERE_ALLOCATION_FAILURE_ABORTS() static_cast<void>(0)
#endif

namespace tarvel {

inline constexpr const char* kNoFault = "<no fault>";

template <class Fn>
std::string internal_fault_of(Fn&& fn) {
    try {
        fn();
    } catch (const InternalFault& fault) {
        return fault.what();
    }
    return kNoFault;
}

template <class Fn>
std::string invalid_input_of(Fn&& fn) {
    try {
        fn();
    } catch (const InvalidInput& error) {
        return error.what();
    }
    return kNoFault;
}

}  // namespace tarvel
