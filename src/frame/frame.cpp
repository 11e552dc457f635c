// The call frame of both modules: argument extraction and conversion, NumPy views and result
// arrays, function registration, and the translation of C++ exceptions into Python exceptions.
#include "frame.hpp"

#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

#include "base/errors.hpp"
#include "base/memory.hpp"

// This unit is the only one that sees NumPy; its API table lives here and is loaded lazily.
#include <numpy/arrayobject.h>

namespace telvora::py {

namespace {

void raise_fatal(FatalErrorClass fatal_class, const char* message) noexcept {
    PyObject* cls = fatal_class();
    if (cls == nullptr) return;  // the class could not be created: its creation error stays pending
    PyErr_SetString(cls, message);
}

// Loads NumPy's C API on the first call that needs it.
void ensure_numpy() {
    if (PyArray_API != nullptr) return;
    if (_import_array() < 0) {
        std::string detail = "unknown error";
        PyRef error = PyRef::steal(PyErr_GetRaisedException());
        if (error) {
            PyRef text = PyRef::steal(PyObject_Str(error.get()));
            const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
            if (utf8 != nullptr) detail = utf8;
            PyErr_Clear();
        }
        PyArray_API = nullptr;
        throw FatalError("NumPy's C API could not be loaded: " + detail);
    }
}

// Replaces a pending exact TypeError by one that names the parameter and keeps its cause;
// any other error is left pending unchanged.
[[noreturn]] void argument_extraction_error(const char* name) {
    PyRef error = PyRef::steal(PyErr_GetRaisedException());
    if (!error) throw PythonErrorPending{};
    if (Py_TYPE(error.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(error.release());
        throw PythonErrorPending{};
    }
    PyRef replaced = PyRef::steal(PyUnicode_FromFormat("argument '%s': %S", name, error.get()));
    PyRef replacement;
    if (replaced) replacement = PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, replaced.get(), nullptr));
    if (!replacement) throw PythonErrorPending{};
    PyException_SetCause(replacement.get(), PyException_GetCause(error.get()));  // steals the cause
    PyErr_SetRaisedException(replacement.release());
    throw PythonErrorPending{};
}

bool extract_unsigned(PyObject* object, std::uint64_t& value) {
    if (PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_LONG_SUBCLASS) {
        value = PyLong_AsUnsignedLongLong(object);
    } else {
        PyRef index = PyRef::steal(PyNumber_Index(object));
        if (!index) return false;
        value = PyLong_AsUnsignedLongLong(index.get());
    }
    return !(value == static_cast<std::uint64_t>(-1) && PyErr_Occurred());
}

bool extract_float_matrix(PyObject* object, MatrixView& view) {
    ensure_numpy();
    bool ok = PyArray_Check(object) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(object)) == 2;
    if (ok) {
        auto* array = reinterpret_cast<PyArrayObject*>(object);
        PyArray_Descr* float64 = PyArray_DescrFromType(NPY_DOUBLE);
        if (float64 == nullptr) return false;
        PyArray_Descr* descr = PyArray_DESCR(array);
        ok = descr == float64 || PyArray_EquivTypes(descr, float64);
        Py_DECREF(float64);
        if (ok) {
            view.data = static_cast<const char*>(PyArray_DATA(array));
            view.n_rows = static_cast<std::uint64_t>(PyArray_DIM(array, 0));
            view.n_cols = static_cast<std::uint64_t>(PyArray_DIM(array, 1));
            view.row_stride = PyArray_STRIDE(array, 0);
            view.col_stride = PyArray_STRIDE(array, 1);
            return true;
        }
    }
    PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(object)));
    if (!type_name) return false;
    PyErr_Format(PyExc_TypeError, "cannot convert an object of type '%U' to a two-dimensional float64 array",
                 type_name.get());
    return false;
}

// Whether array holds int64 or uint64 in native byte order (is_signed tells which).
bool has_index_dtype(PyArrayObject* array, bool& is_signed) {
    PyArray_Descr* descr = PyArray_DESCR(array);
    for (const int type_number : {NPY_INT64, NPY_UINT64}) {
        PyArray_Descr* wanted = PyArray_DescrFromType(type_number);
        if (wanted == nullptr) throw PythonErrorPending{};
        const bool same = descr == wanted || PyArray_EquivTypes(descr, wanted);
        Py_DECREF(wanted);
        if (same) {
            is_signed = type_number == NPY_INT64;
            return true;
        }
    }
    return false;
}

// An index array of the given number of dimensions (and, for two, of columns); otherwise raises
// the TypeError describing what was expected and returns nullptr.
PyArrayObject* index_array(PyObject* object, int n_dims, npy_intp n_cols, const char* expected, bool& is_signed) {
    ensure_numpy();
    if (PyArray_Check(object)) {
        auto* array = reinterpret_cast<PyArrayObject*>(object);
        if (PyArray_NDIM(array) == n_dims && (n_dims == 1 || PyArray_DIM(array, 1) == n_cols) &&
            has_index_dtype(array, is_signed))
            return array;
    }
    PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(object)));
    if (!type_name) return nullptr;
    PyErr_Format(PyExc_TypeError, "cannot convert an object of type '%U' to %s", type_name.get(), expected);
    return nullptr;
}

// One element of an index array; a negative value is refused naming the parameter.
std::uint64_t read_index(const char* address, bool is_signed, const char* name) {
    std::uint64_t value;
    std::memcpy(&value, address, sizeof value);
    if (is_signed && static_cast<std::int64_t>(value) < 0)
        throw InvalidInput(std::string("argument '") + name + "' must not hold negative values");
    return value;
}

std::string quoted_list(const FunctionDescription& description, const std::vector<std::size_t>& indices) {
    std::string text;
    for (std::size_t k = 0; k < indices.size(); ++k) {
        if (k > 0) text += indices.size() > 2 ? ", " : " ";
        if (k > 0 && k + 1 == indices.size()) text += "and ";
        text += "'";
        text += description.parameters[indices[k]];
        text += "'";
    }
    return text;
}

template <class T>
void destroy_boxed_buffer(PyObject* capsule) {
    delete static_cast<std::vector<T>*>(PyCapsule_GetPointer(capsule, "telvora.buffer"));
}

template <class T>
PyRef array_from_buffer(std::vector<T>&& buffer, int type_number, int n_dims, const npy_intp* dims) {
    ensure_numpy();
    auto box = std::make_unique<std::vector<T>>(std::move(buffer));
    if (box->data() == nullptr) box->reserve(1);  // NumPy would allocate its own memory for NULL data
    void* data = box->data();
    PyRef capsule = checked_creation(PyCapsule_New(box.get(), "telvora.buffer", destroy_boxed_buffer<T>));
    box.release();  // the capsule owns the buffer now

    npy_intp strides[2] = {static_cast<npy_intp>(sizeof(T)), static_cast<npy_intp>(sizeof(T))};
    if (n_dims == 2) strides[0] = dims[1] * static_cast<npy_intp>(sizeof(T));
    PyArray_Descr* descr = PyArray_DescrFromType(type_number);
    if (descr == nullptr) checked_creation(nullptr);
    // PyArray_NewFromDescr steals the descriptor, also on failure.
    PyRef array = checked_creation(PyArray_NewFromDescr(&PyArray_Type, descr, n_dims, const_cast<npy_intp*>(dims),
                                                        strides, data, NPY_ARRAY_WRITEABLE, nullptr));
    // SetBaseObject steals the capsule even when it fails.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()) < 0)
        checked_creation(nullptr);
    return array;
}

npy_intp as_dimension(std::uint64_t value) {
    if (value > static_cast<std::uint64_t>(NPY_MAX_INTP)) throw std::bad_alloc();
    return static_cast<npy_intp>(value);
}

// Returns a new reference to __all__, creating an empty list when the module has none.
PyRef all_list(PyObject* module) {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (all) return all;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonErrorPending{};
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw PythonErrorPending{};
    return all;
}

}  // namespace

ArgumentSlots extract_arguments_tuple_dict(const FunctionDescription& description, PyObject* args, PyObject* kwargs) {
    ArgumentSlots slots{};
    const Py_ssize_t n_positional = args != nullptr ? PyTuple_Size(args) : 0;
    if (n_positional < 0) throw PythonErrorPending{};
    const auto n_parameters = static_cast<Py_ssize_t>(description.n_parameters);
    if (n_positional > n_parameters) {
        if (description.n_required == description.n_parameters)
            PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd were given", description.name,
                         n_parameters, n_parameters == 1 ? "" : "s", n_positional);
        else
            PyErr_Format(PyExc_TypeError, "%s() takes from %zu to %zd positional arguments but %zd were given",
                         description.name, description.n_required, n_parameters, n_positional);
        throw PythonErrorPending{};
    }
    for (Py_ssize_t k = 0; k < n_positional; ++k) slots[k] = PyTuple_GetItem(args, k);

    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", description.name);
                throw PythonErrorPending{};
            }
            Py_ssize_t match = -1;
            for (Py_ssize_t k = 0; k < n_parameters; ++k)
                if (PyUnicode_CompareWithASCIIString(key, description.parameters[k]) == 0) match = k;
            if (match < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", description.name, key);
                throw PythonErrorPending{};
            }
            if (slots[match] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", description.name,
                             description.parameters[match]);
                throw PythonErrorPending{};
            }
            slots[match] = value;
        }
    }

    std::vector<std::size_t> missing;
    for (std::size_t k = 0; k < description.n_required; ++k)
        if (slots[k] == nullptr) missing.push_back(k);
    if (!missing.empty()) {
        const std::string names = quoted_list(description, missing);
        PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", description.name,
                     missing.size(), missing.size() == 1 ? "" : "s", names.c_str());
        throw PythonErrorPending{};
    }
    return slots;
}

std::uint64_t convert_unsigned(PyObject* object, const char* name) {
    std::uint64_t value = 0;
    if (!extract_unsigned(object, value)) argument_extraction_error(name);
    return value;
}

double convert_tolerance(PyObject* object, double default_value, const char* name) {
    if (object == nullptr || object == Py_None) return default_value;
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) argument_extraction_error(name);
    return value;
}

MatrixArgument convert_float_matrix(PyObject* object, const char* name) {
    MatrixArgument argument;
    if (!extract_float_matrix(object, argument.view)) argument_extraction_error(name);
    argument.array = PyRef::borrow(object);
    return argument;
}

std::vector<Edge> convert_edge_array(PyObject* object, const char* name) {
    bool is_signed = false;
    PyArrayObject* array = index_array(object, 2, 2, "an (m, 2) int64 or uint64 array", is_signed);
    if (array == nullptr) argument_extraction_error(name);
    const auto m = static_cast<std::uint64_t>(PyArray_DIM(array, 0));
    require_allocatable(m, sizeof(Edge));
    const char* data = static_cast<const char*>(PyArray_DATA(array));
    const npy_intp row_stride = PyArray_STRIDE(array, 0), col_stride = PyArray_STRIDE(array, 1);
    std::vector<Edge> edges(m);
    for (std::uint64_t k = 0; k < m; ++k) {
        const char* row = data + static_cast<npy_intp>(k) * row_stride;
        edges[k] = Edge{read_index(row, is_signed, name), read_index(row + col_stride, is_signed, name)};
    }
    return edges;
}

std::vector<std::uint64_t> convert_index_vector(PyObject* object, const char* name) {
    bool is_signed = false;
    PyArrayObject* array = index_array(object, 1, 0, "a one-dimensional int64 or uint64 array", is_signed);
    if (array == nullptr) argument_extraction_error(name);
    const auto length = static_cast<std::uint64_t>(PyArray_DIM(array, 0));
    require_allocatable(length, sizeof(std::uint64_t));
    const char* data = static_cast<const char*>(PyArray_DATA(array));
    const npy_intp stride = PyArray_STRIDE(array, 0);
    std::vector<std::uint64_t> values(length);
    for (std::uint64_t k = 0; k < length; ++k)
        values[k] = read_index(data + static_cast<npy_intp>(k) * stride, is_signed, name);
    return values;
}

PyRef checked_creation(PyObject* object) {
    if (object != nullptr) return PyRef::steal(object);
    if (PyErr_Occurred()) PyErr_Print();
    throw FatalError("Python API call failed");
}

PyRef new_unsigned(std::uint64_t value) { return checked_creation(PyLong_FromUnsignedLongLong(value)); }
PyRef new_float(double value) { return checked_creation(PyFloat_FromDouble(value)); }
PyRef new_bool(bool value) { return PyRef::borrow(value ? Py_True : Py_False); }
PyRef new_str(const char* text) { return checked_creation(PyUnicode_FromString(text)); }
PyRef new_dict() { return checked_creation(PyDict_New()); }

PyRef new_edge_list(const std::vector<Edge>& edges) {
    PyRef list = checked_creation(PyList_New(static_cast<Py_ssize_t>(edges.size())));
    for (std::size_t k = 0; k < edges.size(); ++k) {
        PyRef i = new_unsigned(edges[k].i);
        PyRef j = new_unsigned(edges[k].j);
        PyRef pair = checked_creation(PyTuple_Pack(2, i.get(), j.get()));
        // PyList_SetItem steals the tuple, also when it fails.
        if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), pair.release()) < 0) throw PythonErrorPending{};
    }
    return list;
}

void dict_insert(PyObject* dict, const char* key, PyRef value) {
    PyRef key_object = new_str(key);
    if (PyDict_SetItem(dict, key_object.get(), value.get()) < 0) throw PythonErrorPending{};
}

PyRef float_matrix_from_buffer(std::vector<double>&& buffer, std::uint64_t rows, std::uint64_t cols) {
    const npy_intp dims[2] = {as_dimension(rows), as_dimension(cols)};
    return array_from_buffer(std::move(buffer), NPY_DOUBLE, 2, dims);
}

PyRef float_vector_from_buffer(std::vector<double>&& buffer, std::uint64_t length) {
    const npy_intp dims[1] = {as_dimension(length)};
    return array_from_buffer(std::move(buffer), NPY_DOUBLE, 1, dims);
}

PyRef uint8_vector_from_buffer(std::vector<std::uint8_t>&& buffer, std::uint64_t length) {
    const npy_intp dims[1] = {as_dimension(length)};
    return array_from_buffer(std::move(buffer), NPY_UBYTE, 1, dims);
}

PyRef bool_vector_from_buffer(std::vector<std::uint8_t>&& buffer, std::uint64_t length) {
    const npy_intp dims[1] = {as_dimension(length)};
    return array_from_buffer(std::move(buffer), NPY_BOOL, 1, dims);
}

PyRef int64_vector_from_buffer(std::vector<std::int64_t>&& buffer, std::uint64_t length) {
    const npy_intp dims[1] = {as_dimension(length)};
    return array_from_buffer(std::move(buffer), NPY_INT64, 1, dims);
}

void register_functions(PyObject* module, std::span<PyMethodDef> definitions) {
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) throw PythonErrorPending{};
    for (PyMethodDef& definition : definitions) {
        PyRef function = PyRef::steal(PyCMethod_New(&definition, module, module_name.get(), nullptr));
        if (!function) throw PythonErrorPending{};
        PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
        if (!name) throw PythonErrorPending{};
        PyRef all = all_list(module);
        if (PyList_Append(all.get(), name.get()) < 0) throw PythonErrorPending{};
        if (PyObject_SetAttr(module, name.get(), function.get()) < 0) throw PythonErrorPending{};
    }
}

namespace {

PyObject* close_shutdown_gate(PyObject* /*module*/, PyObject* /*unused*/) noexcept {
    ShutdownGate::close();
    Py_RETURN_NONE;
}

PyMethodDef close_shutdown_gate_definition{"_close_shutdown_gate", close_shutdown_gate, METH_NOARGS, nullptr};

// Has atexit close this module's ShutdownGate before the interpreter finalizes.
void register_shutdown_gate() {
    PyRef function = PyRef::steal(PyCFunction_New(&close_shutdown_gate_definition, nullptr));
    if (!function) throw PythonErrorPending{};
    PyRef atexit = PyRef::steal(PyImport_ImportModule("atexit"));
    if (!atexit) throw PythonErrorPending{};
    PyRef registered = PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", function.get()));
    if (!registered) throw PythonErrorPending{};
}

}  // namespace

PyRef initialise_module(ModuleSlot& slot, PyModuleDef& definition, std::span<PyMethodDef> functions) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "cannot identify the current interpreter");
        throw PythonErrorPending{};
    }
    std::int64_t expected = -1;
    if (!slot.owning_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_Format(PyExc_ImportError,
                     "%s supports one interpreter per process and is already loaded in another interpreter",
                     definition.m_name);
        throw PythonErrorPending{};
    }
    if (slot.module != nullptr) return PyRef::borrow(slot.module);
    PyRef module = PyRef::steal(PyModule_Create2(&definition, PYTHON_ABI_VERSION));
    if (!module) throw PythonErrorPending{};
    register_functions(module.get(), functions);
    register_shutdown_gate();
    slot.module = PyRef::borrow(module.get()).release();
    return module;
}

void raise_translated_exception(FatalErrorClass fatal_class) noexcept {
    try {
        throw;
    } catch (const PythonErrorPending&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const InvalidInput& error) {
        PyErr_SetString(PyExc_ValueError, error.what());
    } catch (const FatalError& error) {
        raise_fatal(fatal_class, error.what());
    } catch (const OutOfMemory& error) {
        PyErr_SetString(PyExc_MemoryError, error.what());  // refused up front: the message names the size
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();  // a container asked to grow beyond what can be addressed
    } catch (const std::overflow_error& error) {
        PyErr_SetString(PyExc_OverflowError, error.what());
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception in telvora");
    }
}

}  // namespace telvora::py
