// The records' host classes TestItem and TestResult, and the result constructors.
#include "types.hpp"

#include <memory>
#include <new>
#include <string>

#include "module.hpp"

namespace trelkin {

namespace {

// Instance layouts: the object header, the record, the access flag. The record and flag are
// constructed in place after tp_alloc and destroyed in tp_dealloc.
struct TestItemObject {
    PyObject ob_base;
    TestItem record;
    AccessFlag flag;
};

struct TestResultObject {
    PyObject ob_base;
    TestResult record;
    AccessFlag flag;
};

TestItemObject* as_item(PyObject* self) {
    return reinterpret_cast<TestItemObject*>(self);
}
TestResultObject* as_result(PyObject* self) {
    return reinterpret_cast<TestResultObject*>(self);
}

// The two class objects, created once per process and never released.
OnceSlot<PyTypeObject> test_item_slot;
OnceSlot<PyTypeObject> test_result_slot;

template <class Object, class Record>
PyRef allocate(PyTypeObject* type, Record record) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) throw PythonError{};
    auto* object = reinterpret_cast<Object*>(self);
    new (&object->record) Record(std::move(record));
    new (&object->flag) AccessFlag(0);
    return PyRef::steal(self);
}

template <class Object>
void deallocate(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto* object = reinterpret_cast<Object*>(self);
    std::destroy_at(&object->record);
    std::destroy_at(&object->flag);
    type->tp_free(self);
    Py_DECREF(type);
}

// ---- TestItem --------------------------------------------------------------------------

// A text property of TestItem: the closure of its getter and setter.
struct TextField {
    const char* name;
    std::string TestItem::*member;
};

TextField path_field{"path", &TestItem::path};
TextField name_field{"name", &TestItem::name};
TextField args_json_field{"args_json", &TestItem::args_json};

[[noreturn]] void raise_no_deleter() {
    PyErr_SetString(PyExc_AttributeError, "property has no deleter");
    throw PythonError{};
}

PyObject* get_text(PyObject* self, void* closure) {
    return guard_entry([&] {
        const auto* field = static_cast<const TextField*>(closure);
        ReadHold hold(as_item(self)->flag);
        return make_str(as_item(self)->record.*(field->member)).release();
    });
}

int set_text(PyObject* self, PyObject* value, void* closure) {
    return guard_status([&] {
        const auto* field = static_cast<const TextField*>(closure);
        if (value == nullptr) raise_no_deleter();
        std::string text = convert_argument(field->name, [&] { return to_text(value); });
        WriteHold hold(as_item(self)->flag);
        as_item(self)->record.*(field->member) = std::move(text);
    });
}

PyObject* get_line_no(PyObject* self, void*) {
    return guard_entry([&] {
        ReadHold hold(as_item(self)->flag);
        return PyLong_FromUnsignedLong(as_item(self)->record.line_no);
    });
}

int set_line_no(PyObject* self, PyObject* value, void*) {
    return guard_status([&] {
        if (value == nullptr) raise_no_deleter();
        const std::uint32_t line_no = convert_argument("line_no", [&] { return to_u32(value); });
        WriteHold hold(as_item(self)->flag);
        as_item(self)->record.line_no = line_no;
    });
}

PyObject* item_repr(PyObject* self) {
    return guard_entry([&] {
        ReadHold hold(as_item(self)->flag);
        const TestItem& item = as_item(self)->record;
        std::string text =
            "TestItem(" + item.path + ":" + std::to_string(item.line_no) + ": " + item.name;
        if (!item.args_json.empty()) text += " [args=" + item.args_json + "]";
        text += ")";
        return make_str(text).release();
    });
}

PyObject* item_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard_entry([&] {
        static const Signature signature{"TestItem.__new__()", {}, 0};
        // Binding only reports the bad call: the constructor has no parameters.
        PyRef kwnames;
        std::vector<PyObject*> flat(&PyTuple_GET_ITEM(args, 0),
                                    &PyTuple_GET_ITEM(args, 0) + PyTuple_GET_SIZE(args));
        if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
            kwnames = check(PyTuple_New(PyDict_GET_SIZE(kwargs)));
            Py_ssize_t position = 0, index = 0;
            PyObject *key, *value;
            while (PyDict_Next(kwargs, &position, &key, &value)) {
                PyTuple_SET_ITEM(kwnames.get(), index++, Py_NewRef(key));
                flat.push_back(value);
            }
        }
        bind_arguments(signature, flat.data(), static_cast<std::size_t>(PyTuple_GET_SIZE(args)),
                       kwnames.get());
        return allocate<TestItemObject>(type, TestItem{}).release();
    });
}

PyGetSetDef item_properties[] = {
    {"path", get_text, set_text, nullptr, &path_field},
    {"name", get_text, set_text, nullptr, &name_field},
    {"line_no", get_line_no, set_line_no, nullptr, nullptr},
    {"args_json", get_text, set_text, nullptr, &args_json_field},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot item_slots[] = {
    {.slot = Py_tp_doc, .pfunc = const_cast<char*>("TestItem()\n--\n\n")},
    {.slot = Py_tp_getset, .pfunc = item_properties},
    {.slot = Py_tp_new, .pfunc = reinterpret_cast<void*>(item_new)},
    {.slot = Py_tp_repr, .pfunc = reinterpret_cast<void*>(item_repr)},
    {.slot = Py_tp_dealloc, .pfunc = reinterpret_cast<void*>(deallocate<TestItemObject>)},
    {.slot = 0, .pfunc = nullptr},
};

PyType_Spec item_spec = {
    .name = "builtins.TestItem",
    .basicsize = sizeof(TestItemObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = item_slots,
};

// ---- TestResult ------------------------------------------------------------------------

template <class Read>
PyObject* read_result(PyObject* self, Read&& read) {
    return guard_entry([&] {
        ReadHold hold(as_result(self)->flag);
        return read(as_result(self)->record);
    });
}

PyObject* optional_str(const std::optional<std::string>& text) {
    if (!text) Py_RETURN_NONE;
    return make_str(*text).release();
}

PyObject* get_test(PyObject* self, void*) {
    return read_result(self, [](const TestResult& r) { return wrap_test_item(r.test).release(); });
}
PyObject* get_passed(PyObject* self, void*) {
    return read_result(self, [](const TestResult& r) { return PyBool_FromLong(r.passed); });
}
PyObject* get_output(PyObject* self, void*) {
    return read_result(self, [](const TestResult& r) { return make_str(r.output).release(); });
}
PyObject* get_error_output(PyObject* self, void*) {
    return read_result(self,
                       [](const TestResult& r) { return make_str(r.error_output).release(); });
}
PyObject* get_duration_ms(PyObject* self, void*) {
    return read_result(
        self, [](const TestResult& r) { return PyLong_FromUnsignedLongLong(r.duration_ms); });
}
PyObject* get_error(PyObject* self, void*) {
    return read_result(self, [](const TestResult& r) { return optional_str(r.error); });
}
PyObject* get_traceback(PyObject* self, void*) {
    return read_result(self, [](const TestResult& r) { return optional_str(r.traceback); });
}

PyObject* result_repr(PyObject* self) {
    return read_result(self, [](const TestResult& r) {
        std::string text = std::string("TestResult(") + (r.passed ? "PASSED " : "FAILED ") +
                           r.test.name + " in " + std::to_string(r.duration_ms) + "ms)";
        return make_str(text).release();
    });
}

PyGetSetDef result_properties[] = {
    {"test", get_test, nullptr, nullptr, nullptr},
    {"passed", get_passed, nullptr, nullptr, nullptr},
    {"output", get_output, nullptr, nullptr, nullptr},
    {"error_output", get_error_output, nullptr, nullptr, nullptr},
    {"duration_ms", get_duration_ms, nullptr, nullptr, nullptr},
    {"error", get_error, nullptr, nullptr, nullptr},
    {"traceback", get_traceback, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot result_slots[] = {
    {.slot = Py_tp_getset, .pfunc = result_properties},
    {.slot = Py_tp_repr, .pfunc = reinterpret_cast<void*>(result_repr)},
    {.slot = Py_tp_dealloc, .pfunc = reinterpret_cast<void*>(deallocate<TestResultObject>)},
    {.slot = 0, .pfunc = nullptr},
};

PyType_Spec result_spec = {
    .name = "builtins.TestResult",
    .basicsize = sizeof(TestResultObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = result_slots,
};

// Creates the class once per process, or throws PythonError with the RuntimeError of a
// failed initialisation chained to its cause.
PyTypeObject* init_type(OnceSlot<PyTypeObject>& slot, PyType_Spec& spec, const char* name) {
    return slot.get_or_make([&] {
        PyRef made = PyRef::steal(PyType_FromSpec(&spec));
        if (!made) {
            PyRef cause = fetch_error();
            PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s", name);
            PyRef error = PyRef::steal(PyErr_GetRaisedException());
            PyException_SetCause(error.get(), cause.release());
            PyErr_SetRaisedException(error.release());
            throw PythonError{};
        }
        return made;
    });
}

PyTypeObject* needed_type(OnceSlot<PyTypeObject>& slot, PyType_Spec& spec, const char* name) {
    if (PyTypeObject* existing = slot.get()) return existing;
    try {
        return init_type(slot, spec, name);
    } catch (const PythonError&) {
        PyErr_WriteUnraisable(nullptr);
        throw InternalFailure(std::string("failed to create type object for `") + name + "`");
    }
}

}  // namespace

// ---- access flag -----------------------------------------------------------------------

ReadHold::ReadHold(AccessFlag& flag) : flag_(flag) {
    // acquire: a reader must see every write of the writer that released the flag.
    std::int64_t current = flag_.load(std::memory_order_acquire);
    do {
        if (current == -1) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            throw PythonError{};
        }
    } while (!flag_.compare_exchange_weak(current, current + 1, std::memory_order_acquire));
}

WriteHold::WriteHold(AccessFlag& flag) : flag_(flag) {
    std::int64_t expected = 0;
    // acquire: the writer must see the state left by earlier holders.
    if (!flag_.compare_exchange_strong(expected, -1, std::memory_order_acquire)) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        throw PythonError{};
    }
}

// ---- public ----------------------------------------------------------------------------

PyTypeObject* init_test_item_type() {
    return init_type(test_item_slot, item_spec, "TestItem");
}
PyTypeObject* init_test_result_type() {
    return init_type(test_result_slot, result_spec, "TestResult");
}
PyTypeObject* test_item_type() {
    return needed_type(test_item_slot, item_spec, "TestItem");
}
PyTypeObject* test_result_type() {
    return needed_type(test_result_slot, result_spec, "TestResult");
}

TestItem copy_test_item(PyObject* value) {
    ReadHold hold(as_item(value)->flag);
    return as_item(value)->record;
}

PyRef wrap_test_item(TestItem item) {
    return allocate<TestItemObject>(test_item_type(), std::move(item));
}

PyRef wrap_test_result(TestResult result) {
    return allocate<TestResultObject>(test_result_type(), std::move(result));
}

namespace {

const char* const result_params[] = {"test",        "output", "error_output",
                                     "duration_ms", "error",  "traceback"};

// Converts the four parameters both constructors share, in declaration order.
TestResult common_result_fields(const std::vector<PyObject*>& slots) {
    TestResult result;
    result.test = convert_argument("test", [&] { return to_test_item(slots[0]); });
    result.output = convert_argument("output", [&] { return to_text(slots[1]); });
    result.error_output = convert_argument("error_output", [&] { return to_text(slots[2]); });
    result.duration_ms = convert_argument("duration_ms", [&] { return to_u64(slots[3]); });
    return result;
}

}  // namespace

PyObject* test_result_passed(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                             PyObject* kwnames) {
    return guard_entry([&] {
        static const Signature signature{"test_result_passed()", std::span(result_params).first(4),
                                         4};
        auto slots = bind_arguments(signature, args, static_cast<std::size_t>(nargsf), kwnames);
        TestResult result = common_result_fields(slots);
        result.passed = true;
        return wrap_test_result(std::move(result)).release();
    });
}

PyObject* test_result_failed(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                             PyObject* kwnames) {
    return guard_entry([&] {
        static const Signature signature{"test_result_failed()", std::span(result_params), 6};
        auto slots = bind_arguments(signature, args, static_cast<std::size_t>(nargsf), kwnames);
        TestResult result = common_result_fields(slots);
        result.passed = false;
        result.error = convert_argument("error", [&] { return to_text(slots[4]); });
        result.traceback =
            convert_argument("traceback", [&] { return to_optional_text(slots[5]); });
        return wrap_test_result(std::move(result)).release();
    });
}

}  // namespace trelkin
