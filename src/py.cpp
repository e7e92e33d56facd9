// Error state, text conversions, module look-up and lock guards shared by every source.
#include "py.hpp"

#include <cstdio>

namespace trelkin {

namespace {

OnceSlot<> panic_slot;

// str() of an exception as UTF-8, or a fixed text when that fails.
std::string describe_exception(PyObject* exception) {
    PyRef text = PyRef::steal(PyObject_Str(exception));
    if (text) {
        try {
            return str_to_utf8_lossy(text.get());
        } catch (const PythonError&) {
        }
    }
    PyErr_Clear();
    return "<exception str() failed>";
}

// How many attachments of this module the thread holds: a nested one only counts.
thread_local int attach_depth = 0;

}  // namespace

PyObject* InternedName::get() {
    return slot_.get_or_make([&] { return check(PyUnicode_InternFromString(text_)); });
}

// ---- errors ----------------------------------------------------------------------------

PyObject* panic_type() {
    return panic_slot.get_or_make([] {
        return check(PyErr_NewExceptionWithDoc(
            "trelkin.PanicException",
            "The exception raised when trelkin's native code fails unexpectedly.\n\n"
            "Like SystemExit, it derives from BaseException, so that it will typically\n"
            "propagate all the way up the stack and end the interpreter.",
            PyExc_BaseException, nullptr));
    });
}

PyRef fetch_error() {
    PyRef exception = PyRef::steal(PyErr_GetRaisedException());
    if (!exception) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        exception = PyRef::steal(PyErr_GetRaisedException());
        if (!exception) throw InternalFailure("could not create SystemError");
    }
    // Only a class that exists can have been raised: no need to make it here.
    PyObject* panic = panic_slot.get();
    if (panic != nullptr && Py_TYPE(exception.get()) == reinterpret_cast<PyTypeObject*>(panic)) {
        std::string message = describe_exception(exception.get());
        std::fputs(
            "--- trelkin: resuming an internal failure fetched back from the "
            "interpreter ---\nPython stack trace below:\n",
            stderr);
        std::fflush(stderr);
        PyErr_SetRaisedException(exception.release());
        PyErr_PrintEx(0);
        throw InternalFailure(message);
    }
    return exception;
}

void discard_error() {
    fetch_error();
}

void raise_panic(const std::string& message) {
    PyErr_Clear();
    try {
        PyObject* type = panic_type();
        PyRef text = make_str(utf8_lossy(message));
        PyErr_SetObject(type, text.get());
    } catch (const PythonError&) {
        // The error of the failed creation stays set: it is what the caller sees.
    }
}

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

void raise_type_error(PyObject* value, const char* target) {
    if (value == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", target);
        throw PythonError{};
    }
    PyRef qualname = check(PyType_GetQualName(Py_TYPE(value)));
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname.get(), target);
    throw PythonError{};
}

// ---- text ------------------------------------------------------------------------------

PyRef make_str(std::string_view text) {
    return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

std::string_view utf8_view(PyObject* text) {
    if (!PyUnicode_Check(text)) raise_type_error(text, "str");
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) throw PythonError{};
    return std::string_view(data, static_cast<std::size_t>(size));
}

std::string utf8_lossy(std::string_view bytes) {
    static constexpr std::string_view replacement = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(bytes.size());
    const std::size_t n = bytes.size();
    const auto byte_at = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    std::size_t i = 0;
    while (i < n) {
        const unsigned char lead = byte_at(i);
        if (lead < 0x80) {
            out.push_back(static_cast<char>(lead));
            ++i;
            continue;
        }
        // Length and the allowed range of the second byte, which rules out overlong forms,
        // surrogates and code points above U+10FFFF.
        std::size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        }
        if (length == 0) {
            out.append(replacement);
            ++i;
            continue;
        }
        // Replace the maximal valid prefix of a broken sequence by one U+FFFD.
        std::size_t taken = 1;
        while (taken < length && i + taken < n) {
            const unsigned char next = byte_at(i + taken);
            const unsigned char lo = taken == 1 ? low : 0x80;
            const unsigned char hi = taken == 1 ? high : 0xBF;
            if (next < lo || next > hi) break;
            ++taken;
        }
        if (taken == length) {
            out.append(bytes.substr(i, length));
        } else {
            out.append(replacement);
        }
        i += taken;
    }
    return out;
}

std::string str_to_utf8_lossy(PyObject* text) {
    if (!PyUnicode_Check(text)) raise_type_error(text, "str");
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) {
        return std::string(utf8, static_cast<std::size_t>(size));
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw PythonError{};
    PyErr_Clear();
    PyRef bytes = check(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    return utf8_lossy(std::string_view(PyBytes_AS_STRING(bytes.get()),
                                       static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))));
}

// ---- modules ---------------------------------------------------------------------------

PyRef import_module(InternedName& name) {
    PyObject* text = nullptr;
    try {
        text = name.get();
    } catch (const PythonError&) {
        return PyRef();
    }
    // PyImport_GetModule waits for a module another thread is still initialising, as the
    // import would; None (an import blocked on purpose) is left to the import to report.
    PyRef module = PyRef::steal(PyImport_GetModule(text));
    if (module && module.get() != Py_None) return module;
    if (!module && PyErr_Occurred()) return PyRef();
    return PyRef::steal(PyImport_Import(text));
}

// ---- interpreter lock ------------------------------------------------------------------

ReleaseLock::ReleaseLock() : saved_(nullptr), saved_depth_(attach_depth) {
    // While the lock is released this thread holds no attachment: a task run here must
    // attach for real.
    attach_depth = 0;
    saved_ = PyEval_SaveThread();
}

ReleaseLock::~ReleaseLock() {
    PyEval_RestoreThread(saved_);
    attach_depth = saved_depth_;
}

bool AttachThread::attach() {
    if (attach_depth > 0) {
        ++attach_depth;
        counted_ = true;
        return true;
    }
    if (!Py_IsInitialized() || Py_IsFinalizing()) return false;
    state_ = PyGILState_Ensure();
    ensured_ = true;
    ++attach_depth;
    return true;
}

AttachThread::~AttachThread() {
    if (counted_) {
        --attach_depth;
    } else if (ensured_) {
        --attach_depth;
        PyGILState_Release(state_);
    }
}

}  // namespace trelkin
