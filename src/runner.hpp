// Running tests: one test with capture and timing, grouping by file, and both runners.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "py.hpp"
#include "types.hpp"

namespace trelkin {

// A hash of path texts whose seed differs from map to map, so no caller can come to rely
// on the order in which groups come out.
class SeededPathHash {
public:
    SeededPathHash();
    std::size_t operator()(const std::string& text) const noexcept;

private:
    std::uint64_t seed_;
};

using TestGroups = std::unordered_map<std::string, std::vector<TestItem>, SeededPathHash>;

// Partitions the tests by exact path bytes; each group keeps its tests in input order.
TestGroups group_tests_by_path(std::vector<TestItem> tests);

// Stable sort by path bytes, then line number.
void sort_results(std::vector<TestResult>& results);

// Runs one test through trelkin._compat._execute_test. The calling thread holds the
// interpreter lock throughout. With capture on, the test's output goes to fresh buffers
// (capture.hpp: swapped in when the test is alone, routed to otherwise).
// Never raises for the test's sake: only an InternalFailure (a PanicException coming back
// from host code included) leaves it.
TestResult run_single_test(const TestItem& item, bool nocapture);

// The failed result for a harness that could not start the test.
TestResult fail_fast(const TestItem& item, std::string message);

// The module functions (vectorcall).
PyObject* run_tests_sequential(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                               PyObject* kwnames);
PyObject* run_tests(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

}  // namespace trelkin
