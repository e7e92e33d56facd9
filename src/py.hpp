// Owned references, process-wide once-slots, error state, text conversions and lock guards
// for the whole module.
//
// Ownership rules: a raw PyObject* is always borrowed. Every owned reference lives in a
// PyRef, made with PyRef::steal (takes over a new reference) or PyRef::borrow (adds one).
// Host calls that fail leave a Python error set and throw PythonError; an InternalFailure
// (failure.hpp) is a violated assumption of ours. Both become host errors only in the
// entry-point wrappers of module.hpp, so no C++ exception ever crosses into CPython.
//
// Unless a function says otherwise, its caller is attached to the interpreter (holds the
// interpreter lock on a build that has one).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cassert>
#include <string>
#include <string_view>
#include <utility>

#include "failure.hpp"

namespace trelkin {

// Thrown when a host call failed and its Python error is set on this thread.
struct PythonError {
    PythonError() { assert(PyErr_Occurred() != nullptr && "PythonError without a Python error"); }
};

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

// A process-wide host object made at first need and never released. Two threads may both
// make it; the first to publish wins and the other's is dropped, so every user on every
// thread gets the same object. Guarded by its atomic slot alone.
template <class T = PyObject>
class OnceSlot {
public:
    // The published object (borrowed, lives forever), or null before the first publish.
    T* get() const noexcept {
        // acquire: pairs with the publishing exchange, so the object is seen whole.
        return slot_.load(std::memory_order_acquire);
    }

    // Publishes `made` unless another thread published first; returns the winner.
    T* publish(PyRef made) noexcept {
        T* expected = nullptr;
        T* candidate = reinterpret_cast<T*>(made.get());
        // acq_rel: releases our object to later readers, or acquires the earlier winner.
        if (slot_.compare_exchange_strong(expected, candidate, std::memory_order_acq_rel)) {
            made.release();
            return candidate;
        }
        return expected;
    }

    // The published object, made by `make` (returning a PyRef, or throwing) when there is
    // none yet.
    template <class Make>
    T* get_or_make(Make&& make) {
        if (T* existing = get()) return existing;
        return publish(make());
    }

private:
    std::atomic<T*> slot_{nullptr};
};

// An interned str made once per process: attribute and module names used on hot paths, so
// that no call builds or hashes a new string. Throws PythonError when it cannot be made.
class InternedName {
public:
    explicit constexpr InternedName(const char* text) : text_(text) {}
    PyObject* get();
    const char* text() const { return text_; }

private:
    const char* text_;
    OnceSlot<> slot_;
};

// The module's internal-failure exception class (borrowed; made once, never released).
PyObject* panic_type();

// Takes the pending exception off this thread and returns it (a new reference). A host
// call that failed without setting one counts as having raised SystemError. An exception
// whose type is exactly PanicException is never an ordinary error: it is reported on
// standard error and continues as an InternalFailure.
PyRef fetch_error();

// Fetches and drops the pending exception (a PanicException still escapes as above).
void discard_error();

// The text of an exception: its type's qualified name, ": ", and its str() with lone
// surrogates replaced; ": <exception str() failed>" after the name when str() raises.
std::string exception_text(PyObject* exception);

// Sets PanicException with the given message as this thread's pending exception.
void raise_panic(const std::string& message);

// Sets TypeError "'{type}' object is not an instance of '{target}'" (or the None form) and
// throws PythonError.
[[noreturn]] void raise_type_error(PyObject* value, const char* target);

// Keeps the exception pending at construction aside for the scope and sets it again at the
// end, dropping whatever the scope itself left pending. For code that must run, and must not
// fail, while an error is on its way out.
class ErrorScope {
public:
    ErrorScope() : saved_(PyRef::steal(PyErr_GetRaisedException())) {}
    ~ErrorScope() {
        PyErr_Clear();
        PyErr_SetRaisedException(saved_.release());
    }
    ErrorScope(const ErrorScope&) = delete;
    ErrorScope& operator=(const ErrorScope&) = delete;

private:
    PyRef saved_;
};

// ---- text ------------------------------------------------------------------------------

// A new str from UTF-8 text that is valid by construction; throws PythonError.
PyRef make_str(std::string_view text);

// The UTF-8 of a str, living as long as `text`. Throws PythonError: the type error with
// target str for anything else, the host's UnicodeEncodeError for lone surrogates.
std::string_view utf8_view(PyObject* text);

// UTF-8 of a str, every lone surrogate replaced by three U+FFFD (one per byte of its
// "surrogatepass" encoding). Throws PythonError if `text` is not a str or on host failure.
std::string str_to_utf8_lossy(PyObject* text);

// The text with each invalid UTF-8 sequence replaced by U+FFFD.
std::string utf8_lossy(std::string_view bytes);

// ---- modules ---------------------------------------------------------------------------

// The module of that name, as the host's import gives it: taken from sys.modules when it is
// there and initialised, else through PyImport_Import. Returns a new reference, or an empty
// one with the import's error set.
PyRef import_module(InternedName& name);

// ---- locks -----------------------------------------------------------------------------

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

// Holds a PyMutex for the scope. Waiting for it detaches the thread from the interpreter,
// so a holder that needs the interpreter lock never waits on the waiter.
class MutexHold {
public:
    explicit MutexHold(PyMutex& mutex) : mutex_(mutex) { PyMutex_Lock(&mutex_); }
    ~MutexHold() { PyMutex_Unlock(&mutex_); }
    MutexHold(const MutexHold&) = delete;
    MutexHold& operator=(const MutexHold&) = delete;

private:
    PyMutex& mutex_;
};

}  // namespace trelkin
