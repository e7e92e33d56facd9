// The module _core: its calling conventions (argument binding, conversions, the one place
// where C++ exceptions become host errors) and its registration (entry point, exec step).
#include "module.hpp"

#include <algorithm>
#include <bit>
#include <new>
#include <string>

#include "discovery.hpp"
#include "runner.hpp"
#include "types.hpp"

namespace trelkin {

namespace {

InternedName all_name{"__all__"};
InternedName name_name{"__name__"};
InternedName add_note_name{"add_note"};
InternedName module_attribute{"__module__"};
InternedName qualname_name{"__qualname__"};

// collections.abc.Sequence, imported at first need; it names the target of the type error.
OnceSlot<> sequence_abc_slot;

}  // namespace

// ---- errors at the boundary ------------------------------------------------------------

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
    if (text) {
        try {
            added = PyRef::steal(
                PyObject_CallMethodOneArg(exception.get(), add_note_name.get(), text.get()));
        } catch (const PythonError&) {
        }
    }
    if (!added) PyErr_Clear();
    PyErr_SetRaisedException(exception.release());
    throw PythonError{};
}

// ---- conversions -----------------------------------------------------------------------

std::string to_text(PyObject* value) {
    return std::string(utf8_view(value));
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
        PyRef::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(type), module_attribute.get()));
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
    return sequence_abc_slot.get_or_make([] {
        PyRef abc = check(PyImport_ImportModule("collections.abc"));
        return check(PyObject_GetAttrString(abc.get(), "Sequence"));
    });
}

}  // namespace

std::vector<TestItem> to_test_items(PyObject* value) {
    if (PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        throw PythonError{};
    }
    if (!PySequence_Check(value)) {
        PyRef qualname = check(PyObject_GetAttr(sequence_abc(), qualname_name.get()));
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
    PyRef all = PyRef::steal(PyObject_GetAttr(module, all_name.get()));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
        PyErr_Clear();
        all = check(PyList_New(0));
        check_status(PyObject_SetAttr(module, all_name.get(), all.get()));
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

// Every row: fast calls with keywords; the doc is the text signature alone, so the host
// reports __text_signature__ and a __doc__ of None.
constexpr int function_flags = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

// PyMethodDef stores every kind of C function under the one type PyCFunction; the flags
// tell the host the real one.
PyCFunction fast_function(PyCFunctionFastWithKeywords function) {
    return std::bit_cast<PyCFunction>(function);
}

PyMethodDef function_rows[] = {
    {.ml_name = "discover_tests",
     .ml_meth = fast_function(discover_tests),
     .ml_flags = function_flags,
     .ml_doc = "discover_tests(root_dir, pattern=None)\n--\n\n"},
    {.ml_name = "run_tests",
     .ml_meth = fast_function(run_tests),
     .ml_flags = function_flags,
     .ml_doc = "run_tests(tests, num_workers=None, nocapture=False)\n--\n\n"},
    {.ml_name = "run_tests_sequential",
     .ml_meth = fast_function(run_tests_sequential),
     .ml_flags = function_flags,
     .ml_doc = "run_tests_sequential(tests, nocapture=False)\n--\n\n"},
    {.ml_name = "test_result_passed",
     .ml_meth = fast_function(test_result_passed),
     .ml_flags = function_flags,
     .ml_doc = "test_result_passed(test, output, error_output, duration_ms)\n--\n\n"},
    {.ml_name = "test_result_failed",
     .ml_meth = fast_function(test_result_failed),
     .ml_flags = function_flags,
     .ml_doc = "test_result_failed(test, output, error_output, duration_ms, error, "
               "traceback)\n--\n\n"},
};

int exec_module(PyObject* module) {
    return guard_status([&] {
        add_class(module, "TestItem", init_test_item_type());
        add_class(module, "TestResult", init_test_result_type());
        PyRef module_name = check(PyModule_GetNameObject(module));
        for (PyMethodDef& row : function_rows) {
            PyRef function = check(PyCMethod_New(&row, module, module_name.get(), nullptr));
            PyRef name = check(PyObject_GetAttr(function.get(), name_name.get()));
            if (!PyUnicode_Check(name.get())) raise_type_error(name.get(), "str");
            add_value(module, name.get(), function.get());
        }
    });
}

PyModuleDef_Slot module_slots[] = {
    {.slot = Py_mod_exec, .value = reinterpret_cast<void*>(exec_module)},
    // No process-wide state of ours relies on the interpreter lock: see py.hpp, capture.cpp.
    {.slot = Py_mod_gil, .value = Py_MOD_GIL_NOT_USED},
    {.slot = 0, .value = nullptr},
};

PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_core",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace trelkin

PyMODINIT_FUNC PyInit__core() {
    return PyModuleDef_Init(&trelkin::module_definition);
}
