// The calling conventions every exposed function and setter obeys: argument binding with the
// host's messages, the conversion kinds with their argument note, and the one place where
// C++ exceptions turn into host errors.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "py.hpp"
#include "types.hpp"

namespace trelkin {

// What binding needs to know of a callable. All parameters are positional-or-keyword.
struct Signature {
    const char* display;  // "run_tests()" or "TestItem.__new__()"
    std::span<const char* const> params;
    std::size_t required;
};

// Binds a vectorcall's arguments to the signature's parameter slots (borrowed; null where
// absent). Throws PythonError with the host-style TypeError on a bad call.
std::vector<PyObject*> bind_arguments(const Signature& signature, PyObject* const* args,
                                      std::size_t nargsf, PyObject* kwnames);

// Adds the note "while processing '{param}'" to the pending exception and rethrows it.
[[noreturn]] void rethrow_with_note(const char* param);

// The conversion kinds. Each throws PythonError with the host error set (no note: callers
// add it through convert_argument).
std::string to_text(PyObject* value);
std::optional<std::string> to_optional_text(PyObject* value);
std::uint32_t to_u32(PyObject* value);
std::uint64_t to_u64(PyObject* value);
bool to_flag(PyObject* value);
TestItem to_test_item(PyObject* value);
std::vector<TestItem> to_test_items(PyObject* value);

// Runs one conversion; on failure the note for `param` is added before the error goes on.
template <class Convert>
auto convert_argument(const char* param, Convert&& convert) -> decltype(convert()) {
    try {
        return convert();
    } catch (const PythonError&) {
        rethrow_with_note(param);
    }
}

// Entry-point wrappers: run the body and turn a C++ exception into the host error it stands
// for (PythonError: already set; InternalFailure and anything else: PanicException).
PyObject* translate_current_exception();
template <class Body>
PyObject* guard_entry(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return translate_current_exception();
    }
}
template <class Body>
int guard_status(Body&& body) noexcept {
    try {
        body();
        return 0;
    } catch (...) {
        translate_current_exception();
        return -1;
    }
}

}  // namespace trelkin
