// Per-test capture of sys.stdout and sys.stderr, and the routed streams that keep captures
// apart when several capturing tests are live at once.
//
// A test alone in the process swaps the process-wide streams for its buffers and puts the
// streams it found back at its end. As soon as a second capturing execution can be live (a
// parallel run of two files or more, a run on another host thread, a run nested in a test),
// tests route instead: sys.stdout and sys.stderr are routed streams, which send a write to
// the buffer of the test running on the writing thread, or to the stream found when the
// routing began for a thread that runs no test. A test that was swapping when the routing
// began keeps its output: its writes reach its buffer through the routed streams too.
#pragma once

#include <array>
#include <optional>
#include <string>

#include "py.hpp"

namespace trelkin {

class CaptureHub;

// One test's capture, scoped: open() before the test, close() after it (or the destructor,
// on a failure's way out). Lives on the test's thread and never moves while open. Caller
// holds the interpreter lock throughout.
class TestCapture {
public:
    TestCapture() = default;
    ~TestCapture() { close(); }
    TestCapture(const TestCapture&) = delete;
    TestCapture& operator=(const TestCapture&) = delete;

    // Makes the two io.StringIO buffers and installs them, by swap or by route. Returns the
    // harness message ("Failed to import sys: ...", "Failed to import io: ...", "Failed to
    // create StringIO: ...") when set-up fails before any stream was touched.
    std::optional<std::string> open();

    // Puts back what the test found, as far as no other live test has replaced it since.
    // Never fails: what cannot be restored is left as it is. Does nothing when not open.
    void close() noexcept;

    // The text captured from sys.stdout (0) or sys.stderr (1), or empty when the buffer
    // cannot be read. Call after close().
    std::string text(int stream) const;

    // The buffer of one stream (borrowed), for the routed streams.
    PyObject* buffer(int stream) const { return buffers_[stream].get(); }

    // Notes that this test's thread set sys.stdout (0) or sys.stderr (1) to `value` (null:
    // deleted it). Called from the watcher of sys's attributes; never fails.
    void note_assignment(int stream, PyObject* value) noexcept;

private:
    friend class CaptureHub;

    // Whether `current`, found as the stream at the test's end, was put there by this test.
    bool placed_by_this_test(int stream, PyObject* current, bool attributed) const;

    std::array<PyRef, 2> buffers_;
    std::array<PyRef, 2> saved_;  // swap: the streams found at the start; empty when missing
    bool open_ = false;
    bool routed_ = false;
    TestCapture* outer_ = nullptr;  // the capture of the test this one is nested in
    // What this test's thread last set each stream to during the test (empty: deleted), and
    // the values it set before, kept alive so that comparisons by identity stay sound.
    std::array<bool, 2> assigned_{};
    std::array<PyRef, 2> last_assigned_;
    std::array<PyRef, 6> displaced_;
    std::size_t displaced_count_ = 0;
};

// A parallel run's hold on the routing, for the whole run: every test of the run, and any
// test started anywhere meanwhile, routes. Caller holds the interpreter lock.
class RoutingHold {
public:
    // Throws PythonError when sys cannot be had.
    RoutingHold();
    ~RoutingHold();
    RoutingHold(const RoutingHold&) = delete;
    RoutingHold& operator=(const RoutingHold&) = delete;
};

// The text of an io.StringIO-like buffer's getvalue(), or empty when it cannot be read;
// lone surrogates are replaced rather than losing the whole text.
std::string buffer_text(PyObject* buffer);

}  // namespace trelkin
