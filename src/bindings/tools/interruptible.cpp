#include "interruptible.hpp"

namespace tarvel::py {

bool signal_handler_raised(void* thread) {
    PyEval_RestoreThread(static_cast<PyThreadState*>(thread));
    const bool raised = PyErr_CheckSignals() != 0;
    PyEval_SaveThread();
    return raised;
}

}  // namespace tarvel::py
