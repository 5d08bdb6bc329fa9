// Runs a callable and returns the message of the fault it raised, so tests
// can compare messages in one EXPECT_EQ.
#pragma once

#include <string>

#include "core/fault.hpp"

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
