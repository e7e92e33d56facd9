// Test discovery: the directory walk, the source scan on the worker pool, and the entry
// point discover_tests.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "py.hpp"
#include "types.hpp"

namespace trelkin {

// Pruning rule for every entry below the root: hidden names and the cache, dependency and
// build-output directories.
bool is_excluded_name(std::string_view name);

// File-name rule: ends in ".py" and begins with "test" or ends in "_test.py".
bool is_test_file_name(std::string_view name);

// The test files under `root`, depth first, links followed, in walk order. Never fails:
// whatever cannot be read is missing from the list.
std::vector<std::string> find_test_files(const std::string& root);

// The tests of one file, or nothing when it cannot be read, parsed or walked. Takes the
// interpreter lock itself, so it runs on any thread.
std::optional<std::vector<TestItem>> parse_test_file(const std::string& path);

// All files' tests in file order, scanned on the pool. Caller holds the lock; it is
// released for the parallel phase and held again on return.
std::vector<TestItem> scan_test_files(const std::vector<std::string>& paths);

// The module function discover_tests (vectorcall).
PyObject* discover_tests(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                         PyObject* kwnames);

}  // namespace trelkin
