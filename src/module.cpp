// The module _core: entry point, exec step, calling conventions and error handling.
#include "module.hpp"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <new>
#include <string>

#include "discovery.hpp"
#include "runner.hpp"
#include "types.hpp"

namespace trelkin {

namespace {

// Process-wide objects made at first need and never released. Creation runs with the
// interpreter lock held; the compare-exchange keeps the first of two racing creations.
std::atomic<PyObject*> panic_type_slot{nullptr};
std::atomic<PyObject*> sequence_abc_slot{nullptr};

PyObject* keep_first(std::atomic<PyObject*>& slot, PyRef made) {
    PyObject* expected = nullptr;
    // acq_rel: publishes the new object to other threads, or acquires the winner's.
    if (slot.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel)) {
        return made.release();
    }
    return expected;
}

PyObject* panic_type() {
    if (PyObject* existing = panic_type_slot.load(std::memory_order_acquire)) return existing;
    PyRef made = check(PyErr_NewExceptionWithDoc(
        "trelkin.PanicException",
        "The exception raised when trelkin's native code fails unexpectedly.\n\n"
        "Like SystemExit, it derives from BaseException, so that it will typically\n"
        "propagate all the way up the stack and end the interpreter.",
        PyExc_BaseException, nullptr));
    return keep_first(panic_type_slot, std::move(made));
}

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

thread_local int attach_depth = 0;

}  // namespace

// ---- errors ----------------------------------------------------------------------------

PyRef fetch_error() {
    PyRef exception = PyRef::steal(PyErr_GetRaisedException());
    if (!exception) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        exception = PyRef::steal(PyErr_GetRaisedException());
        if (!exception) throw InternalFailure("could not create SystemError");
    }
    PyObject* panic = panic_type_slot.load(std::memory_order_acquire);
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

PyObject* translate_current_exception() {
    try {
        throw;
    } catch (const PythonError&) {
        if (!PyErr_Occurred()) raise_panic("a host call failed without setting an error");
    } catch (const InternalFailure& failure) {
        raise_panic(failure.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& failure) {
        raise_panic(failure.what());
    } catch (...) {
        raise_panic("unknown internal failure");
    }
    return nullptr;
}

// ---- text ------------------------------------------------------------------------------

PyRef make_str(std::string_view text) {
    return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

std::string utf8_lossy(std::string_view bytes) {
    static constexpr std::string_view replacement = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(bytes.size());
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char lead = s[i];
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
            const unsigned char next = s[i + taken];
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

// ---- binding ---------------------------------------------------------------------------

namespace {

std::string quoted_list(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) out += ",";
            out += i + 1 == names.size() ? " and " : " ";
        }
        out += "'";
        out += names[i];
        out += "'";
    }
    return out;
}

[[noreturn]] void raise_type_error_text(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw PythonError{};
}

}  // namespace

std::vector<PyObject*> bind_arguments(const Signature& signature, PyObject* const* args,
                                      std::size_t nargsf, PyObject* kwnames) {
    const std::size_t given = PyVectorcall_NARGS(nargsf);
    const std::size_t count = signature.params.size();
    const std::string fn = signature.display;
    if (given > count) {
        const char* verb = given == 1 ? "was" : "were";
        if (signature.required == count) {
            raise_type_error_text(fn + " takes " + std::to_string(count) +
                                  " positional arguments but " + std::to_string(given) + " " +
                                  verb + " given");
        }
        raise_type_error_text(fn + " takes from " + std::to_string(signature.required) + " to " +
                              std::to_string(count) + " positional arguments but " +
                              std::to_string(given) + " " + verb + " given");
    }
    std::vector<PyObject*> slots(count, nullptr);
    for (std::size_t i = 0; i < given; ++i) slots[i] = args[i];
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        std::size_t index = count;
        for (std::size_t p = 0; p < count; ++p) {
            if (PyUnicode_Check(key) && PyUnicode_EqualToUTF8(key, signature.params[p])) {
                index = p;
                break;
            }
        }
        if (index == count) {
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                         signature.display, key);
            throw PythonError{};
        }
        if (slots[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%S'",
                         signature.display, key);
            throw PythonError{};
        }
        slots[index] = args[given + static_cast<std::size_t>(k)];
    }
    std::vector<const char*> missing;
    for (std::size_t p = 0; p < signature.required; ++p) {
        if (slots[p] == nullptr) missing.push_back(signature.params[p]);
    }
    if (!missing.empty()) {
        raise_type_error_text(
            fn + " missing " + std::to_string(missing.size()) + " required positional " +
            (missing.size() == 1 ? "argument" : "arguments") + ": " + quoted_list(missing));
    }
    return slots;
}

void rethrow_with_note(const char* param) {
    PyRef exception = fetch_error();
    std::string note = std::string("while processing '") + param + "'";
    PyRef text = PyRef::steal(PyUnicode_FromString(note.c_str()));
    PyRef added;
    if (text)
        added = PyRef::steal(PyObject_CallMethod(exception.get(), "add_note", "O", text.get()));
    if (!added) PyErr_Clear();
    PyErr_SetRaisedException(exception.release());
    throw PythonError{};
}

// ---- conversions -----------------------------------------------------------------------

void raise_type_error(PyObject* value, const char* target) {
    if (value == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", target);
        throw PythonError{};
    }
    PyRef qualname = check(PyType_GetQualName(Py_TYPE(value)));
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname.get(), target);
    throw PythonError{};
}

std::string to_text(PyObject* value) {
    if (!PyUnicode_Check(value)) raise_type_error(value, "str");
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (utf8 == nullptr) throw PythonError{};
    return std::string(utf8, static_cast<std::size_t>(size));
}

std::optional<std::string> to_optional_text(PyObject* value) {
    if (value == nullptr || value == Py_None) return std::nullopt;
    return to_text(value);
}

std::uint32_t to_u32(PyObject* value) {
    const long number = PyLong_AsLong(value);
    if (number == -1 && PyErr_Occurred()) throw PythonError{};
    if (number < 0 || static_cast<unsigned long>(number) > 0xFFFFFFFFul) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        throw PythonError{};
    }
    return static_cast<std::uint32_t>(number);
}

std::uint64_t to_u64(PyObject* value) {
    PyRef index = check(PyNumber_Index(value));
    const unsigned long long number = PyLong_AsUnsignedLongLong(index.get());
    if (number == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
    return number;
}

namespace {

// True for numpy's boolean scalar types, recognised by module and type name only.
bool is_numpy_bool_type(PyTypeObject* type) {
    PyRef module =
        PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    if (!module) {
        discard_error();
        return false;
    }
    if (!PyUnicode_Check(module.get()) || !PyUnicode_EqualToUTF8(module.get(), "numpy")) {
        return false;
    }
    PyRef name = check(PyType_GetName(type));
    return PyUnicode_EqualToUTF8(name.get(), "bool_") || PyUnicode_EqualToUTF8(name.get(), "bool");
}

}  // namespace

bool to_flag(PyObject* value) {
    if (value == Py_True) return true;
    if (value == Py_False) return false;
    PyTypeObject* type = Py_TYPE(value);
    if (!is_numpy_bool_type(type)) raise_type_error(value, "bool");
    inquiry truth = type->tp_as_number != nullptr ? type->tp_as_number->nb_bool : nullptr;
    if (truth == nullptr) {
        PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                     reinterpret_cast<PyObject*>(type));
        throw PythonError{};
    }
    const int result = truth(value);
    if (result < 0) throw PythonError{};
    return result != 0;
}

TestItem to_test_item(PyObject* value) {
    if (!PyObject_TypeCheck(value, test_item_type())) raise_type_error(value, "TestItem");
    return copy_test_item(value);
}

namespace {

PyObject* sequence_abc() {
    if (PyObject* existing = sequence_abc_slot.load(std::memory_order_acquire)) return existing;
    PyRef abc = check(PyImport_ImportModule("collections.abc"));
    PyRef sequence = check(PyObject_GetAttrString(abc.get(), "Sequence"));
    return keep_first(sequence_abc_slot, std::move(sequence));
}

}  // namespace

std::vector<TestItem> to_test_items(PyObject* value) {
    if (PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        throw PythonError{};
    }
    if (!PySequence_Check(value)) {
        PyRef qualname = check(PyObject_GetAttrString(sequence_abc(), "__qualname__"));
        raise_type_error(value, to_text(qualname.get()).c_str());
    }
    std::vector<TestItem> items;
    const Py_ssize_t hint = PySequence_Size(value);
    if (hint < 0) {
        discard_error();
    } else {
        // Only a hint: a __len__ that lies must not decide how much memory is taken.
        items.reserve(std::min<std::size_t>(static_cast<std::size_t>(hint), 1 << 16));
    }
    PyRef iterator = check(PyObject_GetIter(value));
    while (PyRef element = PyRef::steal(PyIter_Next(iterator.get()))) {
        items.push_back(to_test_item(element.get()));
    }
    if (PyErr_Occurred()) throw PythonError{};
    return items;
}

// ---- the module ------------------------------------------------------------------------

namespace {

// Appends `name` to the module's __all__ (creating it if missing) and sets the attribute.
void add_value(PyObject* module, PyObject* name, PyObject* value) {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
        PyErr_Clear();
        all = check(PyList_New(0));
        check_status(PyObject_SetAttrString(module, "__all__", all.get()));
    } else if (!PyList_Check(all.get())) {
        raise_type_error(all.get(), "list");
    }
    if (PyList_Append(all.get(), name) < 0) {
        PyRef error = fetch_error();
        PyRef shown = PyRef::steal(PyObject_Repr(error.get()));
        std::string detail = "<unprintable>";
        if (shown) {
            detail = str_to_utf8_lossy(shown.get());
        } else {
            PyErr_Clear();
        }
        throw InternalFailure("could not append __name__ to __all__: " + detail);
    }
    check_status(PyObject_SetAttr(module, name, value));
}

void add_class(PyObject* module, const char* name, PyTypeObject* type) {
    PyRef text = check(PyUnicode_FromString(name));
    add_value(module, text.get(), reinterpret_cast<PyObject*>(type));
}

#define TRELKIN_SIGNATURE_DOC(signature) signature "\n--\n\n"
constexpr int function_flags = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

PyMethodDef function_rows[] = {
    {"discover_tests", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(discover_tests)),
     function_flags, TRELKIN_SIGNATURE_DOC("discover_tests(root_dir, pattern=None)")},
    {"run_tests", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run_tests)),
     function_flags, TRELKIN_SIGNATURE_DOC("run_tests(tests, num_workers=None, nocapture=False)")},
    {"run_tests_sequential",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run_tests_sequential)),
     function_flags, TRELKIN_SIGNATURE_DOC("run_tests_sequential(tests, nocapture=False)")},
    {"test_result_passed",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(test_result_passed)),
     function_flags,
     TRELKIN_SIGNATURE_DOC("test_result_passed(test, output, error_output, duration_ms)")},
    {"test_result_failed",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(test_result_failed)),
     function_flags,
     TRELKIN_SIGNATURE_DOC(
         "test_result_failed(test, output, error_output, duration_ms, error, traceback)")},
};
#undef TRELKIN_SIGNATURE_DOC

int exec_module(PyObject* module) {
    return guard_status([&] {
        add_class(module, "TestItem", init_test_item_type());
        add_class(module, "TestResult", init_test_result_type());
        PyRef module_name = check(PyModule_GetNameObject(module));
        for (PyMethodDef& row : function_rows) {
            PyRef function = check(PyCMethod_New(&row, module, module_name.get(), nullptr));
            PyRef name = check(PyObject_GetAttrString(function.get(), "__name__"));
            if (!PyUnicode_Check(name.get())) raise_type_error(name.get(), "str");
            add_value(module, name.get(), function.get());
        }
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "_core", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace trelkin

PyMODINIT_FUNC PyInit__core() {
    return PyModuleDef_Init(&trelkin::module_definition);
}
