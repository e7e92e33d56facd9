// Single-test execution with timing, grouping by file, and both runners.
#include "runner.hpp"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <optional>
#include <random>
#include <utility>

#include "capture.hpp"
#include "module.hpp"
#include "pool.hpp"

namespace trelkin {

namespace {

using Clock = std::chrono::steady_clock;

InternedName executor_module{"trelkin._compat"};
InternedName executor_name{"_execute_test"};
InternedName io_module{"io"};
InternedName string_io_name{"StringIO"};

// The pending exception, taken without looking at its type yet (a PanicException is only
// acted on once the streams are back), or SystemError when none was set.
PyRef take_raised() {
    PyObject* exception = PyErr_GetRaisedException();
    if (exception != nullptr) return PyRef::steal(exception);
    return fetch_error();
}

// The host's traceback print-out of the exception, or empty text.
std::string format_traceback(PyObject* exception) {
    PyRef traceback = PyRef::steal(PyException_GetTraceback(exception));
    if (!traceback) return {};
    try {
        PyRef io = import_module(io_module);
        if (!io) throw PythonError{};
        PyRef string_io = check(PyObject_GetAttr(io.get(), string_io_name.get()));
        PyRef buffer = check(PyObject_CallNoArgs(string_io.get()));
        check_status(PyTraceBack_Print(traceback.get(), buffer.get()));
        return buffer_text(buffer.get());
    } catch (const PythonError&) {
        discard_error();
        return {};
    }
}

// Calls the executor; returns the exception it raised (or its import or lookup raised),
// or an empty reference when the test passed. The module is looked up anew for every test,
// so a replaced trelkin._compat is honoured.
PyRef call_executor(const TestItem& item) {
    try {
        PyRef module = import_module(executor_module);
        if (!module) throw PythonError{};
        PyRef execute = check(PyObject_GetAttr(module.get(), executor_name.get()));
        PyRef path = make_str(item.path);
        PyRef name = make_str(item.name);
        PyRef args_json = make_str(item.args_json);
        PyObject* args[] = {path.get(), name.get(), args_json.get()};
        check(PyObject_Vectorcall(execute.get(), args, 3, nullptr));
    } catch (const PythonError&) {
        return take_raised();
    }
    return PyRef();
}

}  // namespace

TestResult fail_fast(const TestItem& item, std::string message) {
    TestResult result;
    result.test = item;
    result.passed = false;
    result.error = std::move(message);
    return result;
}

TestResult run_single_test(const TestItem& item, bool nocapture) {
    const auto start = Clock::now();
    TestCapture capture;
    if (!nocapture) {
        if (auto harness_failure = capture.open()) {
            return fail_fast(item, std::move(*harness_failure));
        }
    }
    PyRef failure = call_executor(item);
    const auto elapsed = std::max(Clock::now() - start, Clock::duration::zero());

    TestResult result;
    result.test = item;
    if (!nocapture) {
        capture.close();
        result.output = capture.text(0);
        result.error_output = capture.text(1);
    }
    result.duration_ms = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 1'000'000);

    if (!failure) {
        result.passed = true;
        return result;
    }
    // Looked at only now, with the streams back: a PanicException is reported on the real
    // standard error and ends the run as an internal failure.
    PyErr_SetRaisedException(failure.release());
    failure = fetch_error();
    result.passed = false;
    result.error = exception_text(failure.get());
    result.traceback = format_traceback(failure.get());
    return result;
}

// ---- grouping and ordering -------------------------------------------------------------

namespace {

std::uint64_t mix(std::uint64_t value) {
    value ^= value >> 30;
    value *= 0xbf58476d1ce4e5b9ull;
    value ^= value >> 27;
    value *= 0x94d049bb133111ebull;
    return value ^ (value >> 31);
}

// Each thread draws random keys once and steps them for every new map.
std::uint64_t next_seed() {
    thread_local std::uint64_t keys = [] {
        std::random_device device;
        return (std::uint64_t{device()} << 32) ^ device();
    }();
    return mix(++keys);
}

}  // namespace

SeededPathHash::SeededPathHash() : seed_(next_seed()) {}

std::size_t SeededPathHash::operator()(const std::string& text) const noexcept {
    std::uint64_t hash = 0xcbf29ce484222325ull ^ seed_;
    for (const char byte : text) {
        hash ^= static_cast<unsigned char>(byte);
        hash *= 0x100000001b3ull;
    }
    return static_cast<std::size_t>(mix(hash));
}

TestGroups group_tests_by_path(std::vector<TestItem> tests) {
    TestGroups groups;
    for (TestItem& test : tests) {
        std::string key = test.path;
        groups[std::move(key)].push_back(std::move(test));
    }
    return groups;
}

void sort_results(std::vector<TestResult>& results) {
    sort_by_path_then_line(results,
                           [](const TestResult& result) -> const TestItem& { return result.test; });
}

namespace {

// A new list of new TestResult objects. A list that cannot be made is an internal failure;
// a result object that cannot be made raises its own error.
PyObject* results_to_list(std::vector<TestResult> results) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(results.size())));
    if (!list) throw InternalFailure("could not create the result list");
    for (std::size_t i = 0; i < results.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                        wrap_test_result(std::move(results[i])).release());
    }
    return list.release();
}

bool nocapture_argument(PyObject* value) {
    if (value == nullptr) return false;
    return convert_argument("nocapture", [&] { return to_flag(value); });
}

// The results of a parallel run, appended one group's block at a time by the pool's threads.
// Guarded by `mutex`, a PyMutex: a thread waiting for it, attached to the interpreter, lets
// go of the interpreter lock meanwhile.
struct SharedResults {
    PyMutex mutex{};
    std::vector<TestResult> results;
    bool damaged = false;  // a thread failed while holding the mutex
};

// One group on whichever thread the pool gives it: attach, run the tests in input order,
// append the block, detach.
void run_group(const std::vector<TestItem>& group, bool nocapture, SharedResults& shared) {
    AttachThread attached;
    if (!attached.attach()) {
        throw InternalFailure("Cannot attach to the Python interpreter while it is finalizing.");
    }
    std::vector<TestResult> block;
    block.reserve(group.size());
    for (const TestItem& test : group) block.push_back(run_single_test(test, nocapture));
    MutexHold lock(shared.mutex);
    if (shared.damaged) {
        throw InternalFailure("the shared result list was damaged by a failed task");
    }
    try {
        shared.results.insert(shared.results.end(), std::make_move_iterator(block.begin()),
                              std::make_move_iterator(block.end()));
    } catch (...) {
        shared.damaged = true;
        throw;
    }
}

}  // namespace

PyObject* run_tests_sequential(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                               PyObject* kwnames) {
    return guard_entry([&] {
        static const char* const params[] = {"tests", "nocapture"};
        static const Signature signature{"run_tests_sequential()", params, 1};
        auto slots = bind_arguments(signature, args, static_cast<std::size_t>(nargsf), kwnames);
        std::vector<TestItem> tests =
            convert_argument("tests", [&] { return to_test_items(slots[0]); });
        const bool nocapture = nocapture_argument(slots[1]);

        TestGroups groups = group_tests_by_path(std::move(tests));
        std::vector<TestResult> results;
        for (const auto& [path, group] : groups) {
            for (const TestItem& test : group) results.push_back(run_single_test(test, nocapture));
        }
        sort_results(results);
        return results_to_list(std::move(results));
    });
}

PyObject* run_tests(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guard_entry([&] {
        static const char* const params[] = {"tests", "num_workers", "nocapture"};
        static const Signature signature{"run_tests()", params, 1};
        auto slots = bind_arguments(signature, args, static_cast<std::size_t>(nargsf), kwnames);
        std::vector<TestItem> tests =
            convert_argument("tests", [&] { return to_test_items(slots[0]); });
        // Validated only: the pool's size is fixed when the pool is created.
        if (slots[1] != nullptr && slots[1] != Py_None) {
            convert_argument("num_workers", [&] { return to_u64(slots[1]); });
        }
        const bool nocapture = nocapture_argument(slots[2]);

        TestGroups groups = group_tests_by_path(std::move(tests));
        std::vector<std::pair<std::string, std::vector<TestItem>>> group_array;
        group_array.reserve(groups.size());
        for (auto& [path, group] : groups) group_array.emplace_back(path, std::move(group));
        groups.clear();

        SharedResults shared;
        // Tests of different files overlap in time; each thread's output stays its own.
        std::optional<RoutingHold> routing;
        if (!nocapture && group_array.size() >= 2) routing.emplace();
        {
            ReleaseLock unlocked;
            pool::parallel_for_each(group_array.size(), [&](std::size_t index) {
                run_group(group_array[index].second, nocapture, shared);
            });
        }
        std::vector<TestResult> results;
        {
            MutexHold lock(shared.mutex);
            if (shared.damaged) {
                throw InternalFailure("the shared result list was damaged by a failed task");
            }
            results = std::move(shared.results);
        }
        group_array.clear();
        sort_results(results);
        return results_to_list(std::move(results));
    });
}

}  // namespace trelkin
