#include "numeric/interrupt.hpp"

namespace tarvel::detail {

namespace {
// Calls between two clock reads, and the least time between two hook calls.
constexpr std::uint32_t calls_between_clock_reads = 1024;
constexpr auto hook_interval = std::chrono::milliseconds(50);
}  // namespace

void poll_interrupt() {
    InterruptState& state = interrupt_state;
    state.countdown = calls_between_clock_reads;
    const auto now = std::chrono::steady_clock::now();
    if (now < state.next_poll) return;
    state.next_poll = now + hook_interval;
    if (state.hook(state.context)) throw Interrupted();
}

}  // namespace tarvel::detail
