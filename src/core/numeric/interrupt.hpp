// Interruption of long numeric work. The core knows nothing of signals: a
// boundary layer installs a hook for the calling thread that says whether
// the user asked to stop, and long loops call check_interrupt() often. The
// hook runs at most about every `interval` of work, so the check is cheap
// enough for inner loops.
#pragma once
#include <chrono>
#include <cstdint>
#include <stdexcept>

namespace tarvel {

// Thrown by check_interrupt() when the hook reports a request to stop; the
// boundary turns it back into the request it came from.
class Interrupted : public std::runtime_error {
public:
    Interrupted() : std::runtime_error("interrupted") {}
};

// Returns true when the work should stop.
using InterruptHook = bool (*)(void* context);

namespace detail {
struct InterruptState {
    InterruptHook hook = nullptr;
    void* context = nullptr;
    std::uint32_t countdown = 0;
    std::chrono::steady_clock::time_point next_poll{};
};
inline thread_local InterruptState interrupt_state;
void poll_interrupt();
}  // namespace detail

// Installs `hook` for the calling thread for the scope's lifetime (the
// previous one comes back after it).
class InterruptScope {
public:
    InterruptScope(InterruptHook hook, void* context) : saved_(detail::interrupt_state) {
        detail::interrupt_state = detail::InterruptState{hook, context, 0, {}};
    }
    ~InterruptScope() { detail::interrupt_state = saved_; }
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

private:
    detail::InterruptState saved_;
};

// Throws Interrupted when the installed hook says so. Without a hook it
// costs one test of a thread-local counter.
inline void check_interrupt() {
    detail::InterruptState& state = detail::interrupt_state;
    if (state.hook == nullptr) return;
    if (state.countdown-- != 0) return;
    detail::poll_interrupt();
}

// For loops whose steps are heavy: one call counts as `weight` calls, so
// the hook still runs about every interval of work.
inline void check_interrupt(std::uint32_t weight) {
    detail::InterruptState& state = detail::interrupt_state;
    if (state.hook == nullptr) return;
    if (state.countdown > weight) {
        state.countdown -= weight;
        return;
    }
    detail::poll_interrupt();
}

}  // namespace tarvel
