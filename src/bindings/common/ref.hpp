// Owning references and the interpreter-lock release.
//
// Every PyObject* the boundary owns lives in a Ref, so that no path - success,
// Python error or C++ exception - leaks a reference.
#pragma once

#include <Python.h>
#include <cxxabi.h>

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

namespace tarvel::py {

// Thrown by boundary code when a Python exception is already set; the entry
// wrapper then simply returns NULL.
struct PythonErrorSet {};

class Ref {
public:
    Ref() = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref moved(std::move(other));
        std::swap(object_, moved.object_);  // the old object dies with `moved`
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    // Takes over a new reference (may be NULL).
    static Ref steal(PyObject* object) { return Ref(object); }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* object) {
        Py_XINCREF(object);
        return Ref(object);
    }
    // Takes over a new reference that must not be NULL: NULL means the call
    // that produced it failed and set a Python error.
    static Ref check(PyObject* object) {
        if (object == nullptr) throw PythonErrorSet{};
        return Ref(object);
    }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    PyObject* release() { return std::exchange(object_, nullptr); }

private:
    explicit Ref(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

// Throws PythonErrorSet when a C API call reported failure with -1.
inline void check_status(int status) {
    if (status < 0) throw PythonErrorSet{};
}

// Runs `work` with the interpreter lock released and returns its result.
//
// The lock is taken back on every path before anything escapes, so the
// caller may build Python objects or raise. Not done in a destructor: while
// the interpreter finalises, re-taking the lock may end the thread with a
// forced unwind, which must be free to propagate (a destructor is noexcept
// and would turn it into std::terminate). `work` must not touch Python.
template <class Work>
auto without_interpreter_lock(Work&& work) {
    using Result = decltype(work());
    std::optional<std::conditional_t<std::is_void_v<Result>, bool, Result>> result;
    std::exception_ptr failure;
    PyThreadState* saved = PyEval_SaveThread();
    try {
        if constexpr (std::is_void_v<Result>) {
            work();
            result.emplace(true);
        } else {
            result.emplace(work());
        }
    } catch (abi::__forced_unwind&) {
        throw;  // `work` took the lock back (an interrupt hook) while the interpreter finalises: the thread ends
    } catch (...) {
        failure = std::current_exception();
    }
    PyEval_RestoreThread(saved);
    if (failure) std::rethrow_exception(failure);
    if constexpr (!std::is_void_v<Result>) return std::move(*result);
}

}  // namespace tarvel::py
