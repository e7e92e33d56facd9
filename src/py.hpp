// Owned references, error state and interpreter-lock guards for the whole module.
//
// Ownership rules: a raw PyObject* is always borrowed. Every owned reference lives in a
// PyRef, made with PyRef::steal (takes over a new reference) or PyRef::borrow (adds one).
// Host calls that fail leave a Python error set and throw PythonError; an InternalFailure
// (failure.hpp) is a violated assumption of ours. Both become host errors only in the
// entry-point wrappers of module.hpp, so no C++ exception ever crosses into CPython.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <string_view>
#include <utility>

#include "failure.hpp"

namespace trelkin {

// Thrown when a host call failed and its Python error is set on this thread.
struct PythonError {};

class PyRef {
public:
    PyRef() = default;
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

    static PyRef steal(PyObject* object) { return PyRef(object); }
    static PyRef borrow(PyObject* object) {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyObject* get() const { return object_; }
    // Gives up ownership: the caller now owns the returned reference.
    PyObject* release() { return std::exchange(object_, nullptr); }
    explicit operator bool() const { return object_ != nullptr; }

private:
    explicit PyRef(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

// Takes over the new reference a host call returned, or throws PythonError on NULL.
inline PyRef check(PyObject* result) {
    if (result == nullptr) throw PythonError{};
    return PyRef::steal(result);
}

// Throws PythonError when a host call returned a negative status.
inline void check_status(int status) {
    if (status < 0) throw PythonError{};
}

// Takes the pending exception off this thread and returns it (a new reference). A host
// call that failed without setting one counts as having raised SystemError. An exception
// whose type is exactly PanicException is never an ordinary error: it is reported on
// standard error and continues as an InternalFailure.
PyRef fetch_error();

// Fetches and drops the pending exception (a PanicException still escapes as above).
void discard_error();

// Sets PanicException with the given message as this thread's pending exception.
void raise_panic(const std::string& message);

// A new str from UTF-8 text that is valid by construction; throws PythonError.
PyRef make_str(std::string_view text);

// UTF-8 of a str, every lone surrogate replaced by three U+FFFD (one per byte of its
// "surrogatepass" encoding). Throws PythonError if `text` is not a str or on host failure.
std::string str_to_utf8_lossy(PyObject* text);

// The text with each invalid UTF-8 sequence replaced by U+FFFD.
std::string utf8_lossy(std::string_view bytes);

// Releases the interpreter lock for the scope (PyEval_SaveThread) and takes it back at the
// end. Caller holds the lock. Nothing in the scope may touch a host object.
class ReleaseLock {
public:
    ReleaseLock();
    ~ReleaseLock();
    ReleaseLock(const ReleaseLock&) = delete;
    ReleaseLock& operator=(const ReleaseLock&) = delete;

private:
    PyThreadState* saved_;
    int saved_depth_;
};

// Attaches the calling thread to the interpreter for the scope. A thread already attached
// through this module only counts the nesting; otherwise PyGILState_Ensure takes the lock
// and gives the thread an interpreter state if it has none.
class AttachThread {
public:
    // Returns false, attaching nothing, when the interpreter is not initialised or is
    // finalizing.
    bool attach();
    ~AttachThread();

private:
    bool ensured_ = false;
    bool counted_ = false;
    PyGILState_STATE state_{};
};

}  // namespace trelkin
