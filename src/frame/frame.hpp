// The call frame shared by both extension modules: argument extraction and conversion, result
// arrays over handed-over buffers, the one place where C++ errors become Python ones, and the
// entry routine and function registration every module builds its table from.
#pragma once

#include <Python.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>
#include <vector>

#include "base/node.hpp"
#include "pyref.hpp"
#include "base/traversal.hpp"

namespace telvora::py {

// A Python error is already set and must reach the caller unchanged.
struct PythonErrorPending {};

// The most parameters an entry routine takes.
constexpr std::size_t max_parameters = 7;

// Static description of one function's parameters (none positional-only or keyword-only).
struct FunctionDescription {
    const char* name;
    std::array<const char*, max_parameters> parameters;
    std::size_t n_parameters;
    std::size_t n_required;
};

// One borrowed object per parameter, nullptr when an optional parameter is absent.
using ArgumentSlots = std::array<PyObject*, max_parameters>;

// Fills the slots by position, then by keyword; raises the interpreter-style TypeError
// for surplus, unknown, repeated or missing arguments.
ArgumentSlots extract_arguments_tuple_dict(const FunctionDescription& description, PyObject* args, PyObject* kwargs);

// A float64 matrix argument: the view stays valid while the reference is held.
struct MatrixArgument {
    PyRef array;
    MatrixView view;
};

// Conversions of one parameter; on failure they raise the error argument_extraction_error
// gives for that parameter and throw PythonErrorPending.
std::uint64_t convert_unsigned(PyObject* object, const char* name);
double convert_tolerance(PyObject* object, double default_value, const char* name);
MatrixArgument convert_float_matrix(PyObject* object, const char* name);
// A NumPy array of shape (m, 2) and dtype int64 or uint64, any strides: its rows copied out as
// edges. A negative index raises ValueError naming the parameter.
std::vector<Edge> convert_edge_array(PyObject* object, const char* name);
// A one-dimensional NumPy array of dtype int64 or uint64, any stride, copied out; a negative
// entry raises ValueError naming the parameter.
std::vector<std::uint64_t> convert_index_vector(PyObject* object, const char* name);

// Result objects. Each returns a new reference; it throws FatalError after printing the
// pending error when the interpreter cannot create the object.
PyRef new_unsigned(std::uint64_t value);
PyRef new_float(double value);
PyRef new_bool(bool value);
PyRef new_str(const char* text);
PyRef new_edge_list(const std::vector<Edge>& edges);
// Arrays take over the buffer without copying; the array's base object frees it.
PyRef float_matrix_from_buffer(std::vector<double>&& buffer, std::uint64_t rows, std::uint64_t cols);
PyRef float_vector_from_buffer(std::vector<double>&& buffer, std::uint64_t length);
PyRef uint8_vector_from_buffer(std::vector<std::uint8_t>&& buffer, std::uint64_t length);
// The values must be 0 or 1: NumPy reads any other byte as an undefined bool.
PyRef bool_vector_from_buffer(std::vector<std::uint8_t>&& buffer, std::uint64_t length);
PyRef int64_vector_from_buffer(std::vector<std::int64_t>&& buffer, std::uint64_t length);

// Inserts key and value in dict (the dict then holds the only references); an insertion
// failure leaves the Python error pending and throws PythonErrorPending.
void dict_insert(PyObject* dict, const char* key, PyRef value);
PyRef new_dict();

// Throws FatalError("Python API call failed") after printing the pending error, unless object is set.
PyRef checked_creation(PyObject* object);

// What a core FatalError becomes in one module: a function giving a borrowed reference to the
// exception class, or nullptr with the error that prevented its creation pending.
using FatalErrorClass = PyObject* (*)() noexcept;

// For a module without an exception class of its own: a violated precondition is an internal error.
inline PyObject* system_error_class() noexcept { return PyExc_SystemError; }

// Runs body and translates every C++ exception into a Python exception: InvalidInput to
// ValueError, FatalError to fatal_class's exception, std::bad_alloc to MemoryError (with an
// OutOfMemory's message, which names the size), std::overflow_error to OverflowError, anything
// else to SystemError.
template <class Body>
PyObject* call_guarded(FatalErrorClass fatal_class, Body&& body) noexcept;

void raise_translated_exception(FatalErrorClass fatal_class) noexcept;

template <class Body>
PyObject* call_guarded(FatalErrorClass fatal_class, Body&& body) noexcept {
    try {
        return body().release();
    } catch (...) {
        raise_translated_exception(fatal_class);
        return nullptr;
    }
}

// Every entry routine: extract, convert, compute, return, all inside the call guard.
template <FatalErrorClass fatal_class, const FunctionDescription& description, PyRef (*call)(const ArgumentSlots&)>
PyObject* entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
    return call_guarded(fatal_class, [&] { return call(extract_arguments_tuple_dict(description, args, kwargs)); });
}

template <FatalErrorClass fatal_class, const FunctionDescription& description, PyRef (*call)(const ArgumentSlots&)>
constexpr PyCFunction entry_pointer() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<fatal_class, description, call>));
}

// Adds one function object per definition to module, by name, and its name to the module's
// __all__ (created when missing). The definitions must outlive the module. A failure leaves the
// Python error pending and throws PythonErrorPending.
void register_functions(PyObject* module, std::span<PyMethodDef> definitions);

// The one object of a module and the interpreter that first imported it (-1: none yet), kept for
// the life of the process: the module's state (NumPy's API table among it) is process-wide.
struct ModuleSlot {
    std::atomic<std::int64_t> owning_interpreter{-1};
    PyObject* module = nullptr;
};

// Returns a new reference to the module of definition with its functions, created on the first
// import; ImportError for an interpreter other than the first.
PyRef initialise_module(ModuleSlot& slot, PyModuleDef& definition, std::span<PyMethodDef> functions);

}  // namespace telvora::py
