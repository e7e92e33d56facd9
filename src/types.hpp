// The two records every subsystem exchanges, as plain values holding no host object, and
// their host classes TestItem and TestResult.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "py.hpp"

namespace trelkin {

struct TestItem {
    std::string path;
    std::string name;
    std::uint32_t line_no = 0;
    std::string args_json;  // empty: the test takes no arguments
};

struct TestResult {
    TestItem test;
    bool passed = false;
    std::string output;
    std::string error_output;
    std::uint64_t duration_ms = 0;
    std::optional<std::string> error;
    std::optional<std::string> traceback;
};

// The order of results and of discovered items: stable, by the test's path as bytes (a
// prefix first), then its line number; equal keys keep their given order. `test_of` maps an
// element to its TestItem.
template <class Element, class TestOf>
void sort_by_path_then_line(std::vector<Element>& elements, TestOf test_of) {
    std::stable_sort(elements.begin(), elements.end(), [&](const Element& a, const Element& b) {
        const TestItem& left = test_of(a);
        const TestItem& right = test_of(b);
        // std::string compares as unsigned bytes (char_traits<char>::compare is memcmp).
        const int by_path = left.path.compare(right.path);
        return by_path != 0 ? by_path < 0 : left.line_no < right.line_no;
    });
}

// Per-instance access flag: 0 free, n > 0 readers, -1 one writer.
using AccessFlag = std::atomic<std::int64_t>;

// Reader hold for the scope; throws PythonError with RuntimeError "Already mutably
// borrowed" when a writer holds the flag.
class ReadHold {
public:
    explicit ReadHold(AccessFlag& flag);
    ~ReadHold() { flag_.fetch_sub(1, std::memory_order_release); }
    ReadHold(const ReadHold&) = delete;
    ReadHold& operator=(const ReadHold&) = delete;

private:
    AccessFlag& flag_;
};

// Writer hold for the scope; throws PythonError with RuntimeError "Already borrowed" when
// anyone holds the flag.
class WriteHold {
public:
    explicit WriteHold(AccessFlag& flag);
    ~WriteHold() { flag_.store(0, std::memory_order_release); }
    WriteHold(const WriteHold&) = delete;
    WriteHold& operator=(const WriteHold&) = delete;

private:
    AccessFlag& flag_;
};

// The process-wide class objects (borrowed; never released). Created at first need; a
// failure to create one outside the exec step is reported through the unraisable hook and
// ends in InternalFailure "failed to create type object for `{name}`".
PyTypeObject* test_item_type();
PyTypeObject* test_result_type();

// For the exec step: creates the class if needed, or throws PythonError with RuntimeError
// "An error occurred while initializing class {name}" chained to the cause.
PyTypeObject* init_test_item_type();
PyTypeObject* init_test_result_type();

// A copy of the record of a host TestItem, taken under a reader hold. `value` must be an
// instance of TestItem.
TestItem copy_test_item(PyObject* value);

// New host instances owning the given records. Throw PythonError when allocation fails.
PyRef wrap_test_item(TestItem item);
PyRef wrap_test_result(TestResult result);

// The module functions test_result_passed and test_result_failed (vectorcall).
PyObject* test_result_passed(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                             PyObject* kwnames);
PyObject* test_result_failed(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                             PyObject* kwnames);

}  // namespace trelkin
