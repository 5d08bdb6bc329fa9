// Ctrl-C during the long calls of tarvel_tools._native. The numeric work
// runs without the interpreter lock and calls tarvel::check_interrupt() in
// its loops; the hook installed here takes the lock back now and then (at
// most every ~50 ms of work, see numeric/interrupt.hpp), lets the
// interpreter run its signal handlers and asks the work to stop when one
// raised. The exception raised (KeyboardInterrupt for Ctrl-C) stays pending
// and becomes the call's error (see bindings/common/errors).
#pragma once

#include <Python.h>

#include "bindings/common/ref.hpp"
#include "numeric/interrupt.hpp"

namespace tarvel::py {

// The hook: `thread` is the calling thread's state, whose lock is released.
// True, with the handler's exception pending, when a signal handler raised.
bool signal_handler_raised(void* thread);

// without_interpreter_lock, with Ctrl-C honoured inside `work`.
template <class Work>
auto without_lock_interruptible(Work&& work) {
    PyThreadState* const thread = PyThreadState_Get();
    return without_interpreter_lock([&] {
        const InterruptScope scope(&signal_handler_raised, thread);
        return work();
    });
}

}  // namespace tarvel::py
