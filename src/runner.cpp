// Single-test execution with capture and timing, grouping by file, and both runners.
#include "runner.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iterator>
#include <mutex>
#include <optional>
#include <random>
#include <utility>

#include "module.hpp"
#include "pool.hpp"

namespace trelkin {

namespace {

using Clock = std::chrono::steady_clock;

// ---- per-thread routing of sys.stdout / sys.stderr -------------------------------------

// The buffers of the test this thread is running under routed capture (borrowed: they
// live in that test's Capture), or null when the thread runs no such test.
struct ThreadCapture {
    PyObject* stdout_buffer;
    PyObject* stderr_buffer;
};
thread_local const ThreadCapture* current_capture = nullptr;

// Makes `capture` this thread's current one for the scope; nested runs restore the outer
// test's buffers when they end.
class ThreadCaptureScope {
public:
    explicit ThreadCaptureScope(const ThreadCapture* capture)
        : previous_(std::exchange(current_capture, capture)) {}
    ~ThreadCaptureScope() { current_capture = previous_; }
    ThreadCaptureScope(const ThreadCaptureScope&) = delete;
    ThreadCaptureScope& operator=(const ThreadCaptureScope&) = delete;

private:
    const ThreadCapture* previous_;
};

// A stream object standing as sys.stdout or sys.stderr during a parallel run. Writes go to
// the calling thread's current test buffer, or to the stream found at the run's start for a
// thread running no captured test. Every other attribute is the current target's.
struct RouterObject {
    PyObject ob_base;
    PyObject* fallback;  // owned; null when the stream was missing at the run's start
    bool is_stderr;
};

// The stream a write on this thread goes to, as a new reference (the fallback may be
// replaced by another host thread while the write runs Python code), or empty for none.
PyRef router_target(PyObject* self) {
    auto* router = reinterpret_cast<RouterObject*>(self);
    if (current_capture != nullptr) {
        return PyRef::borrow(router->is_stderr ? current_capture->stderr_buffer
                                               : current_capture->stdout_buffer);
    }
    return PyRef::borrow(router->fallback);
}

PyObject* router_write(PyObject* self, PyObject* text) {
    PyRef target = router_target(self);
    if (!target) Py_RETURN_NONE;  // like print() with no stream: output dropped
    return PyObject_CallMethod(target.get(), "write", "O", text);
}

PyObject* router_getattro(PyObject* self, PyObject* name) {
    PyRef target = router_target(self);
    if (!target || (PyUnicode_Check(name) && PyUnicode_EqualToUTF8(name, "write"))) {
        return PyObject_GenericGetAttr(self, name);
    }
    return PyObject_GetAttr(target.get(), name);
}

void router_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    Py_CLEAR(reinterpret_cast<RouterObject*>(self)->fallback);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef router_methods[] = {
    {"write", router_write, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot router_slots[] = {
    {Py_tp_methods, router_methods},
    {Py_tp_getattro, reinterpret_cast<void*>(router_getattro)},
    {Py_tp_dealloc, reinterpret_cast<void*>(router_dealloc)},
    {0, nullptr},
};

PyType_Spec router_spec = {"trelkin._core.RoutedStream", sizeof(RouterObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, router_slots};

std::atomic<PyObject*> router_type_slot{nullptr};

PyTypeObject* router_type() {
    if (PyObject* existing = router_type_slot.load(std::memory_order_acquire)) {
        return reinterpret_cast<PyTypeObject*>(existing);
    }
    PyRef made = check(PyType_FromSpec(&router_spec));
    PyObject* expected = nullptr;
    // acq_rel: publishes the new type, or acquires the one published first.
    if (router_type_slot.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel)) {
        return reinterpret_cast<PyTypeObject*>(made.release());
    }
    return reinterpret_cast<PyTypeObject*>(expected);
}

PyRef make_router(PyObject* fallback, bool is_stderr) {
    PyTypeObject* type = router_type();
    PyRef router = check(type->tp_alloc(type, 0));
    auto* object = reinterpret_cast<RouterObject*>(router.get());
    object->fallback = Py_XNewRef(fallback);
    object->is_stderr = is_stderr;
    return router;
}

// sys.<name>, or an empty reference when it is missing (the error is dropped).
PyRef read_stream(PyObject* sys, const char* name) {
    PyRef stream = PyRef::steal(PyObject_GetAttrString(sys, name));
    if (!stream) discard_error();
    return stream;
}

// ---- single-test execution -------------------------------------------------------------

// The text of an exception: its type's qualified name, ": ", and its str().
std::string exception_text(PyObject* exception) {
    std::string name;
    PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(exception)));
    try {
        if (!qualname) throw PythonError{};
        name = str_to_utf8_lossy(qualname.get());
    } catch (const PythonError&) {
        discard_error();
        name = Py_TYPE(exception)->tp_name;
    }
    PyRef text = PyRef::steal(PyObject_Str(exception));
    if (text) {
        try {
            return name + ": " + str_to_utf8_lossy(text.get());
        } catch (const PythonError&) {
        }
    }
    discard_error();
    return name + ": <exception str() failed>";
}

// The pending exception, taken without looking at its type yet (a PanicException is only
// acted on once the streams are back), or SystemError when none was set.
PyRef take_raised() {
    PyObject* exception = PyErr_GetRaisedException();
    if (exception != nullptr) return PyRef::steal(exception);
    return fetch_error();
}

// Text of a capture buffer, or empty when it cannot be read. Lone surrogates are replaced
// rather than losing the whole output.
std::string read_buffer(PyObject* buffer) {
    PyRef value = PyRef::steal(PyObject_CallMethod(buffer, "getvalue", nullptr));
    if (!value) {
        discard_error();
        return {};
    }
    if (!PyUnicode_Check(value.get())) return {};
    try {
        return str_to_utf8_lossy(value.get());
    } catch (const PythonError&) {
        discard_error();
        return {};
    }
}

// The host's traceback print-out of the exception, or empty text.
std::string format_traceback(PyObject* exception) {
    PyRef traceback = PyRef::steal(PyException_GetTraceback(exception));
    if (!traceback) return {};
    PyRef io = PyRef::steal(PyImport_ImportModule("io"));
    PyRef buffer;
    if (io) buffer = PyRef::steal(PyObject_CallMethod(io.get(), "StringIO", nullptr));
    if (!buffer || PyTraceBack_Print(traceback.get(), buffer.get()) < 0) {
        discard_error();
        return {};
    }
    return read_buffer(buffer.get());
}

// What run_single_test holds while output is captured.
struct Capture {
    PyRef stdout_buffer;
    PyRef stderr_buffer;
    PyRef saved_stdout;
    PyRef saved_stderr;
};

// Sets up capture: fresh buffers, and unless routed, sys.stdout/sys.stderr swapped for
// them. Returns the harness message when set-up fails before any stream was touched.
std::optional<std::string> open_capture(Capture& capture, bool routed) {
    PyRef sys;
    if (!routed) {
        sys = PyRef::steal(PyImport_ImportModule("sys"));
        if (!sys) return "Failed to import sys: " + exception_text(fetch_error().get());
    }
    PyRef io = PyRef::steal(PyImport_ImportModule("io"));
    if (!io) return "Failed to import io: " + exception_text(fetch_error().get());
    capture.stdout_buffer = PyRef::steal(PyObject_CallMethod(io.get(), "StringIO", nullptr));
    if (capture.stdout_buffer) {
        capture.stderr_buffer = PyRef::steal(PyObject_CallMethod(io.get(), "StringIO", nullptr));
    }
    if (!capture.stderr_buffer) {
        capture.stdout_buffer = PyRef();
        return "Failed to create StringIO: " + exception_text(fetch_error().get());
    }
    if (routed) return std::nullopt;
    capture.saved_stdout = read_stream(sys.get(), "stdout");
    capture.saved_stderr = read_stream(sys.get(), "stderr");
    if (PyObject_SetAttrString(sys.get(), "stdout", capture.stdout_buffer.get()) < 0) {
        discard_error();
    }
    if (PyObject_SetAttrString(sys.get(), "stderr", capture.stderr_buffer.get()) < 0) {
        discard_error();
    }
    return std::nullopt;
}

// Puts one saved stream back as sys.<name>, each with its own import of sys.
void restore_stream(const char* name, const PyRef& saved) {
    if (!saved) return;
    PyRef sys = PyRef::steal(PyImport_ImportModule("sys"));
    if (!sys || PyObject_SetAttrString(sys.get(), name, saved.get()) < 0) discard_error();
}

// After a routed test: a test that replaced a stream finds the router back in place.
void reinstate_router(const char* name, PyObject* router) {
    PyRef sys = PyRef::steal(PyImport_ImportModule("sys"));
    if (!sys) {
        discard_error();
        return;
    }
    PyRef current = PyRef::steal(PyObject_GetAttrString(sys.get(), name));
    if (!current) discard_error();
    if (current && Py_IS_TYPE(current.get(), router_type())) return;
    if (PyObject_SetAttrString(sys.get(), name, router) < 0) discard_error();
}

// Calls the executor; returns the exception it raised (or its import or lookup raised),
// or an empty reference when the test passed.
PyRef call_executor(const TestItem& item) {
    PyRef module_name = PyRef::steal(PyUnicode_FromString("trelkin._compat"));
    if (!module_name) return take_raised();
    PyRef module = PyRef::steal(PyImport_Import(module_name.get()));
    if (!module) return take_raised();
    PyRef execute = PyRef::steal(PyObject_GetAttrString(module.get(), "_execute_test"));
    if (!execute) return take_raised();
    try {
        PyRef path = make_str(item.path);
        PyRef name = make_str(item.name);
        PyRef args_json = make_str(item.args_json);
        PyObject* args[] = {path.get(), name.get(), args_json.get()};
        PyRef returned = PyRef::steal(PyObject_Vectorcall(execute.get(), args, 3, nullptr));
        if (!returned) return take_raised();
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
    // A sequential run inside a parallel one, or beside one on another host thread, routes
    // too: swapping the process-wide streams would take the other tests' output. The test
    // holds the routing until it ends, so a run finishing meanwhile leaves it in place.
    std::optional<StreamRouting> routing;
    if (!nocapture && StreamRouting::active()) routing.emplace();
    const bool routed = routing.has_value();
    Capture capture;
    if (!nocapture) {
        if (auto harness_failure = open_capture(capture, routed)) {
            return fail_fast(item, std::move(*harness_failure));
        }
    }
    PyRef failure;
    std::chrono::nanoseconds elapsed{0};
    {
        const ThreadCapture buffers{capture.stdout_buffer.get(), capture.stderr_buffer.get()};
        std::optional<ThreadCaptureScope> routed_scope;
        if (!nocapture && routed) routed_scope.emplace(&buffers);
        failure = call_executor(item);
        elapsed = std::max(Clock::now() - start, Clock::duration::zero());
    }

    TestResult result;
    result.test = item;
    if (!nocapture) {
        if (routed) {
            reinstate_router("stdout", StreamRouting::stdout_router());
            reinstate_router("stderr", StreamRouting::stderr_router());
        } else {
            restore_stream("stdout", capture.saved_stdout);
            restore_stream("stderr", capture.saved_stderr);
        }
        result.output = read_buffer(capture.stdout_buffer.get());
        result.error_output = read_buffer(capture.stderr_buffer.get());
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

// ---- routing for a parallel run --------------------------------------------------------

namespace {

// The one routing of the process. Guarded by the interpreter lock.
struct SharedRouting {
    std::size_t holders = 0;
    PyRef saved_stdout;  // the streams at the first holder's start; empty when missing
    PyRef saved_stderr;
    PyRef stdout_router;  // made once and kept: print() may still hold one borrowed
    PyRef stderr_router;
};
SharedRouting& shared_routing() {
    static SharedRouting* routing = new SharedRouting;  // never destroyed: outlives the host
    return *routing;
}

// A router left installed (kept by a test, say) must never become its own fallback: writes
// would recurse without end. Such a stream stands for the stream it falls back to.
PyRef unrouted(PyRef stream) {
    if (stream && Py_IS_TYPE(stream.get(), router_type())) {
        return PyRef::borrow(reinterpret_cast<RouterObject*>(stream.get())->fallback);
    }
    return stream;
}

void set_fallback(PyObject* router, PyObject* fallback) {
    auto* object = reinterpret_cast<RouterObject*>(router);
    Py_XSETREF(object->fallback, Py_XNewRef(fallback));
}

}  // namespace

StreamRouting::StreamRouting() {
    SharedRouting& routing = shared_routing();
    if (routing.holders == 0) {
        if (!routing.stdout_router || !routing.stderr_router) {
            PyRef stdout_router = make_router(nullptr, false);
            PyRef stderr_router = make_router(nullptr, true);
            routing.stdout_router = std::move(stdout_router);
            routing.stderr_router = std::move(stderr_router);
        }
        PyRef sys = check(PyImport_ImportModule("sys"));
        PyRef saved_stdout = unrouted(read_stream(sys.get(), "stdout"));
        PyRef saved_stderr = unrouted(read_stream(sys.get(), "stderr"));
        check_status(PyObject_SetAttrString(sys.get(), "stdout", routing.stdout_router.get()));
        if (PyObject_SetAttrString(sys.get(), "stderr", routing.stderr_router.get()) < 0) {
            PyRef error = PyRef::steal(PyErr_GetRaisedException());
            PyObject_SetAttrString(sys.get(), "stdout", saved_stdout.get());
            PyErr_SetRaisedException(error.release());
            throw PythonError{};
        }
        // A thread running no captured test writes to the streams found at the start.
        set_fallback(routing.stdout_router.get(), saved_stdout.get());
        set_fallback(routing.stderr_router.get(), saved_stderr.get());
        routing.saved_stdout = std::move(saved_stdout);
        routing.saved_stderr = std::move(saved_stderr);
    }
    ++routing.holders;
}

StreamRouting::~StreamRouting() {
    SharedRouting& routing = shared_routing();
    if (--routing.holders > 0) return;
    // Runs with the lock held on every way out of the call, a failure included, so it must
    // not throw: what cannot be restored is left as it is.
    PyRef pending = PyRef::steal(PyErr_GetRaisedException());
    PyRef saved_stdout = std::move(routing.saved_stdout);
    PyRef saved_stderr = std::move(routing.saved_stderr);
    PyRef sys = PyRef::steal(PyImport_ImportModule("sys"));
    if (sys) {
        const std::pair<const char*, PyObject*> streams[] = {{"stdout", saved_stdout.get()},
                                                             {"stderr", saved_stderr.get()}};
        for (const auto& [name, saved] : streams) {
            const int status = saved != nullptr ? PyObject_SetAttrString(sys.get(), name, saved)
                                                : PyObject_DelAttrString(sys.get(), name);
            if (status < 0) PyErr_Clear();
        }
    }
    PyErr_Clear();
    PyErr_SetRaisedException(pending.release());
}

bool StreamRouting::active() {
    return shared_routing().holders > 0;
}
PyObject* StreamRouting::stdout_router() {
    return shared_routing().stdout_router.get();
}
PyObject* StreamRouting::stderr_router() {
    return shared_routing().stderr_router.get();
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
    // std::string compares as unsigned bytes (char_traits<char>::compare is memcmp).
    std::stable_sort(results.begin(), results.end(), [](const TestResult& a, const TestResult& b) {
        const int order = a.test.path.compare(b.test.path);
        return order != 0 ? order < 0 : a.test.line_no < b.test.line_no;
    });
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

// The results of a parallel run, appended one group's block at a time.
struct SharedResults {
    std::mutex mutex;
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
    std::lock_guard lock(shared.mutex);
    if (shared.damaged)
        throw InternalFailure("the shared result list was damaged by a failed task");
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
        std::optional<StreamRouting> routing;
        if (!nocapture && group_array.size() >= 2) routing.emplace();
        {
            ReleaseLock unlocked;
            pool::parallel_for_each(group_array.size(), [&](std::size_t index) {
                run_group(group_array[index].second, nocapture, shared);
            });
        }
        std::vector<TestResult> results;
        {
            std::lock_guard lock(shared.mutex);
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
