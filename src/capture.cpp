// Per-test capture: swap when alone, route when not; the routed stream type; the process's
// one routing state and the watcher that tells which test replaced a stream.
#include "capture.hpp"

#include <pthread.h>

#include <cstddef>

namespace trelkin {

namespace {

InternedName stream_names[2] = {InternedName{"stdout"}, InternedName{"stderr"}};
InternedName sys_name{"sys"};
InternedName io_name{"io"};
InternedName string_io_name{"StringIO"};
InternedName getvalue_name{"getvalue"};
InternedName write_name{"write"};

// The capture of the test this thread is running, or null. Only its own thread reads it.
thread_local TestCapture* current_capture = nullptr;

// Set while this module itself assigns sys.stdout/sys.stderr on this thread, so that the
// watcher does not take the assignment for the running test's own.
thread_local bool assigning_streams = false;

// ---- the routed stream -----------------------------------------------------------------

// Stands as sys.stdout or sys.stderr while the routing is on. A write goes to the buffer of
// the test running on the calling thread, or to the fallback for a thread running none.
// Every other attribute is the current target's, so a test sees its own io.StringIO.
struct RoutedStream {
    PyObject ob_base;
    // Owned; null when the stream was missing when the routing began. Guarded by this
    // object's critical section: the routing's start replaces it while others write.
    PyObject* fallback;
    int stream;  // 0 stdout, 1 stderr; fixed at creation
};

RoutedStream* as_routed(PyObject* self) {
    return reinterpret_cast<RoutedStream*>(self);
}

PyRef read_fallback(PyObject* self) {
    PyRef fallback;
    Py_BEGIN_CRITICAL_SECTION(self);
    fallback = PyRef::borrow(as_routed(self)->fallback);
    Py_END_CRITICAL_SECTION();
    return fallback;
}

// Returns the fallback it replaces, to be released by the caller once no lock is held.
PyRef exchange_fallback(PyObject* self, PyRef fallback) {
    PyObject* previous = nullptr;
    Py_BEGIN_CRITICAL_SECTION(self);
    previous = as_routed(self)->fallback;
    as_routed(self)->fallback = fallback.release();
    Py_END_CRITICAL_SECTION();
    return PyRef::steal(previous);
}

// The stream a write on this thread goes to (a new reference), or empty for none.
PyRef routed_target(PyObject* self) {
    if (const TestCapture* capture = current_capture) {
        return PyRef::borrow(capture->buffer(as_routed(self)->stream));
    }
    return read_fallback(self);
}

PyObject* routed_write(PyObject* self, PyObject* text) {
    PyRef target = routed_target(self);
    if (!target) Py_RETURN_NONE;  // like print() with no stream: output dropped
    PyObject* name = nullptr;
    try {
        name = write_name.get();
    } catch (const PythonError&) {
        return nullptr;
    }
    return PyObject_CallMethodOneArg(target.get(), name, text);
}

PyObject* routed_getattro(PyObject* self, PyObject* name) {
    PyRef target = routed_target(self);
    if (!target || (PyUnicode_Check(name) && PyUnicode_EqualToUTF8(name, "write"))) {
        return PyObject_GenericGetAttr(self, name);
    }
    return PyObject_GetAttr(target.get(), name);
}

int routed_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_routed(self)->fallback);
    return 0;
}

int routed_clear(PyObject* self) {
    Py_CLEAR(as_routed(self)->fallback);
    return 0;
}

void routed_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    routed_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef routed_methods[] = {
    {.ml_name = "write", .ml_meth = routed_write, .ml_flags = METH_O, .ml_doc = nullptr},
    {.ml_name = nullptr, .ml_meth = nullptr, .ml_flags = 0, .ml_doc = nullptr},
};

PyType_Slot routed_slots[] = {
    {.slot = Py_tp_methods, .pfunc = routed_methods},
    {.slot = Py_tp_getattro, .pfunc = reinterpret_cast<void*>(routed_getattro)},
    {.slot = Py_tp_traverse, .pfunc = reinterpret_cast<void*>(routed_traverse)},
    {.slot = Py_tp_clear, .pfunc = reinterpret_cast<void*>(routed_clear)},
    {.slot = Py_tp_dealloc, .pfunc = reinterpret_cast<void*>(routed_dealloc)},
    {.slot = 0, .pfunc = nullptr},
};

PyType_Spec routed_spec = {
    .name = "trelkin._core.RoutedStream",
    .basicsize = sizeof(RoutedStream),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = routed_slots,
};

OnceSlot<PyTypeObject> routed_type_slot;
// The two routed streams, made once and never released: print() and tests may keep one.
OnceSlot<> router_slots[2];

PyTypeObject* routed_type() {
    return routed_type_slot.get_or_make([] { return check(PyType_FromSpec(&routed_spec)); });
}

bool is_router(PyObject* object) {
    PyTypeObject* type = routed_type_slot.get();
    return object != nullptr && type != nullptr && Py_IS_TYPE(object, type);
}

// The routed stream for stdout (0) or stderr (1). Throws PythonError.
PyObject* router(int stream) {
    return router_slots[stream].get_or_make([&] {
        PyTypeObject* type = routed_type();
        PyRef made = check(type->tp_alloc(type, 0));
        as_routed(made.get())->fallback = nullptr;
        as_routed(made.get())->stream = stream;
        return made;
    });
}

// A router left installed (kept by a test, say) must never become a router's fallback:
// writes would go round without end. Such a stream stands for the one it falls back to.
PyRef unrouted(PyRef stream) {
    if (is_router(stream.get())) return read_fallback(stream.get());
    return stream;
}

// ---- sys -------------------------------------------------------------------------------

// sys.<stream>, or empty when missing or when sys itself could not be had (null); the error
// is dropped.
PyRef read_stream(PyObject* sys, int stream) {
    PyRef value;
    if (sys == nullptr) return value;
    try {
        value = PyRef::steal(PyObject_GetAttr(sys, stream_names[stream].get()));
    } catch (const PythonError&) {
    }
    if (!value) PyErr_Clear();
    return value;
}

// References dropped only once the routing's mutex is released: dropping the last one may
// run arbitrary code, which may start a test and so need the mutex. Destroyed after the
// MutexHold declared below it.
class DeferredReleases {
public:
    void keep(PyRef object) noexcept {
        if (!object) return;
        if (count_ < kept_.size()) {
            kept_[count_++] = std::move(object);
        } else {
            object.release();  // cannot happen: no step keeps more than the room here
        }
    }

private:
    std::array<PyRef, 12> kept_;
    std::size_t count_ = 0;
};

// Sets sys.<stream> to `value` (deleting it for null); a failure is dropped and leaves the
// stream as it was. The stream it replaces goes to `later`.
void assign_stream(PyObject* sys, int stream, PyObject* value, DeferredReleases& later) {
    if (sys == nullptr) return;
    later.keep(read_stream(sys, stream));
    assigning_streams = true;
    try {
        PyObject* name = stream_names[stream].get();
        const int status =
            value != nullptr ? PyObject_SetAttr(sys, name, value) : PyObject_DelAttr(sys, name);
        if (status < 0) PyErr_Clear();
    } catch (const PythonError&) {
        PyErr_Clear();
    }
    assigning_streams = false;
}

// Tells the running test of the assigning thread that it replaced sys.stdout or sys.stderr.
// Runs inside the host's dict update, on the assigning thread; reads thread-local state only.
int watch_sys(PyDict_WatchEvent event, PyObject*, PyObject* key, PyObject* new_value) {
    TestCapture* capture = current_capture;
    if (capture == nullptr || assigning_streams || key == nullptr || !PyUnicode_Check(key)) {
        return 0;
    }
    if (event != PyDict_EVENT_ADDED && event != PyDict_EVENT_MODIFIED &&
        event != PyDict_EVENT_DELETED) {
        return 0;
    }
    for (int stream = 0; stream < 2; ++stream) {
        if (PyUnicode_EqualToUTF8(key, stream_names[stream].text())) {
            capture->note_assignment(stream, new_value);
        }
    }
    return 0;
}

}  // namespace

// ---- the routing -----------------------------------------------------------------------

// The one capture state of the process. Everything in it is guarded by `mutex`. Under the
// mutex only sys's two attributes are read and set (no other host code runs: replaced
// streams are released after it, see DeferredReleases), and the mutex is never taken by a
// write, so a write during a switch cannot deadlock.
class CaptureHub {
public:
    static CaptureHub& instance() {
        static CaptureHub* hub = [] {
            // A child of fork() has only the forking thread: a mutex some other thread held
            // at that instant would never be released there.
            pthread_atfork(nullptr, nullptr, [] { instance().mutex = PyMutex{}; });
            return new CaptureHub;  // never destroyed: outlives the host
        }();
        return *hub;
    }

    // Counts one more holder; the first installs the routed streams. Caller holds the mutex.
    void hold(PyObject* sys, DeferredReleases& later);
    // Counts one holder less; the last puts the streams back. Caller holds the mutex.
    void release(PyObject* sys, DeferredReleases& later);

    void open_capture(TestCapture& capture, PyObject* sys, DeferredReleases& later);
    void close_capture(TestCapture& capture, PyObject* sys, DeferredReleases& later);

    PyMutex mutex{};

private:
    void watch(PyObject* sys);
    void reinstate_routers(const TestCapture& capture, PyObject* sys, DeferredReleases& later);

    std::size_t holders_ = 0;  // parallel runs and routed tests under way
    // The test that swapped the streams, while it runs. At most one: while it runs every
    // other test routes.
    TestCapture* swapping_ = nullptr;
    // Whether the routing began while `swapping_` ran: saved_ then holds that test's buffers
    // (or what it put in their place), to be given back if the routing ends first.
    bool began_under_swap_ = false;
    std::array<PyRef, 2> saved_;  // the streams found when the routing began
    enum class Watcher { untried, watching, unavailable } watcher_ = Watcher::untried;
};

void CaptureHub::watch(PyObject* sys) {
    if (watcher_ != Watcher::untried || sys == nullptr) return;
    watcher_ = Watcher::unavailable;
    const int id = PyDict_AddWatcher(watch_sys);
    if (id < 0) {
        PyErr_Clear();
        return;
    }
    PyObject* namespace_dict = PyModule_GetDict(sys);  // borrowed, lives as long as sys
    if (namespace_dict == nullptr || PyDict_Watch(id, namespace_dict) < 0) {
        PyErr_Clear();
        PyDict_ClearWatcher(id);
        PyErr_Clear();
        return;
    }
    watcher_ = Watcher::watching;
}

void CaptureHub::hold(PyObject* sys, DeferredReleases& later) {
    watch(sys);
    if (holders_++ > 0) return;
    for (int stream = 0; stream < 2; ++stream) {
        PyRef found = unrouted(read_stream(sys, stream));
        // A thread running no test writes to the stream as it was before any test took it.
        PyRef fallback = swapping_ != nullptr
                             ? unrouted(PyRef::borrow(swapping_->saved_[stream].get()))
                             : PyRef::borrow(found.get());
        later.keep(exchange_fallback(router(stream), std::move(fallback)));
        later.keep(std::exchange(saved_[stream], std::move(found)));
        assign_stream(sys, stream, router(stream), later);
    }
    began_under_swap_ = swapping_ != nullptr;
}

void CaptureHub::release(PyObject* sys, DeferredReleases& later) {
    if (--holders_ > 0) return;
    for (int stream = 0; stream < 2; ++stream) {
        PyRef saved = std::move(saved_[stream]);
        // A swapping test still running keeps whatever it has in place, unless that is the
        // router, which gives way to its buffer again.
        const bool keep_current =
            began_under_swap_ && swapping_ != nullptr && !is_router(read_stream(sys, stream).get());
        if (!keep_current) assign_stream(sys, stream, saved.get(), later);
        later.keep(std::move(saved));
    }
    began_under_swap_ = false;
}

void CaptureHub::reinstate_routers(const TestCapture& capture, PyObject* sys,
                                   DeferredReleases& later) {
    // Without the watcher no replacement can be told apart: each counts as the test's own.
    const bool attributed = watcher_ == Watcher::watching;
    for (int stream = 0; stream < 2; ++stream) {
        PyRef current = read_stream(sys, stream);
        if (is_router(current.get())) continue;
        if (capture.placed_by_this_test(stream, current.get(), attributed)) {
            assign_stream(sys, stream, router(stream), later);
        }
        later.keep(std::move(current));
    }
}

void CaptureHub::open_capture(TestCapture& capture, PyObject* sys, DeferredReleases& later) {
    watch(sys);
    capture.routed_ = holders_ > 0 || swapping_ != nullptr;
    if (capture.routed_) {
        hold(sys, later);
        return;
    }
    swapping_ = &capture;
    for (int stream = 0; stream < 2; ++stream) capture.saved_[stream] = read_stream(sys, stream);
    for (int stream = 0; stream < 2; ++stream) {
        assign_stream(sys, stream, capture.buffers_[stream].get(), later);
    }
}

void CaptureHub::close_capture(TestCapture& capture, PyObject* sys, DeferredReleases& later) {
    if (capture.routed_) {
        reinstate_routers(capture, sys, later);
        release(sys, later);
        return;
    }
    swapping_ = nullptr;
    if (holders_ == 0) {
        // Alone to the end: the streams found go back, whatever the test did to them.
        for (int stream = 0; stream < 2; ++stream) {
            if (capture.saved_[stream]) {
                assign_stream(sys, stream, capture.saved_[stream].get(), later);
            }
        }
        return;
    }
    // The routing began during this test and goes on: the routers stay, and what the
    // routing gives back at its end is what this test found.
    reinstate_routers(capture, sys, later);
    if (began_under_swap_) {
        for (int stream = 0; stream < 2; ++stream) {
            later.keep(std::exchange(saved_[stream], PyRef::borrow(capture.saved_[stream].get())));
        }
        began_under_swap_ = false;
    }
}

// ---- TestCapture -----------------------------------------------------------------------

namespace {

// What TestCapture::open needs of the host, or the harness message when it cannot be had.
std::optional<std::string> make_buffers(PyRef& sys, std::array<PyRef, 2>& buffers) {
    sys = import_module(sys_name);
    if (!sys) return "Failed to import sys: " + exception_text(fetch_error().get());
    PyRef io = import_module(io_name);
    if (!io) return "Failed to import io: " + exception_text(fetch_error().get());
    PyRef string_io;
    try {
        string_io = check(PyObject_GetAttr(io.get(), string_io_name.get()));
        buffers[0] = check(PyObject_CallNoArgs(string_io.get()));
        buffers[1] = check(PyObject_CallNoArgs(string_io.get()));
    } catch (const PythonError&) {
        buffers[0] = PyRef();
        return "Failed to create StringIO: " + exception_text(fetch_error().get());
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> TestCapture::open() {
    PyRef sys;
    if (auto failure = make_buffers(sys, buffers_)) return failure;
    // Made before the mutex is taken, since making them runs host code.
    router(0);
    router(1);
    CaptureHub& hub = CaptureHub::instance();
    {
        DeferredReleases later;
        MutexHold lock(hub.mutex);
        hub.open_capture(*this, sys.get(), later);
    }
    open_ = true;
    outer_ = std::exchange(current_capture, this);
    return std::nullopt;
}

void TestCapture::close() noexcept {
    if (!open_) return;
    open_ = false;
    current_capture = outer_;
    ErrorScope errors;
    PyRef sys = import_module(sys_name);
    if (!sys) PyErr_Clear();
    CaptureHub& hub = CaptureHub::instance();
    {
        DeferredReleases later;
        MutexHold lock(hub.mutex);
        // Without sys nothing can be put back, but the routing's counts still change.
        hub.close_capture(*this, sys.get(), later);
    }
    for (std::size_t i = 0; i < displaced_count_; ++i) displaced_[i] = PyRef();
    for (PyRef& value : last_assigned_) value = PyRef();
}

bool TestCapture::placed_by_this_test(int stream, PyObject* current, bool attributed) const {
    if (current != nullptr && current == buffers_[stream].get()) return true;
    if (!attributed) return true;
    return assigned_[stream] && current == last_assigned_[stream].get();
}

void TestCapture::note_assignment(int stream, PyObject* value) noexcept {
    assigned_[stream] = true;
    PyRef previous = std::exchange(last_assigned_[stream], PyRef::borrow(value));
    if (!previous) return;
    // Dropping a reference here may free the object and run its code inside the host's
    // update of sys; when something else still holds it, nothing is freed.
    if (Py_REFCNT(previous.get()) > 1) return;
    if (displaced_count_ < displaced_.size()) {
        displaced_[displaced_count_++] = std::move(previous);
    } else {
        previous.release();  // a test replacing its streams over and over: kept to the end
    }
}

std::string TestCapture::text(int stream) const {
    return buffers_[stream] ? buffer_text(buffers_[stream].get()) : std::string();
}

// ---- RoutingHold -----------------------------------------------------------------------

RoutingHold::RoutingHold() {
    PyRef sys = import_module(sys_name);
    if (!sys) throw PythonError{};
    router(0);
    router(1);
    CaptureHub& hub = CaptureHub::instance();
    DeferredReleases later;
    MutexHold lock(hub.mutex);
    hub.hold(sys.get(), later);
}

RoutingHold::~RoutingHold() {
    ErrorScope errors;
    PyRef sys = import_module(sys_name);
    if (!sys) PyErr_Clear();
    CaptureHub& hub = CaptureHub::instance();
    DeferredReleases later;
    MutexHold lock(hub.mutex);
    hub.release(sys.get(), later);
}

std::string buffer_text(PyObject* buffer) {
    PyRef value;
    try {
        value = PyRef::steal(PyObject_CallMethodNoArgs(buffer, getvalue_name.get()));
    } catch (const PythonError&) {
    }
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

}  // namespace trelkin
