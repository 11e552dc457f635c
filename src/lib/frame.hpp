// The call frame shared by every entry routine: argument extraction and conversion,
// result arrays over handed-over buffers, and the one place where C++ errors become Python ones.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "node.hpp"
#include "pyref.hpp"
#include "traversal.hpp"

namespace telvora::py {

// A Python error is already set and must reach the caller unchanged.
struct PythonErrorPending {};

// Static description of one function's parameters (none positional-only or keyword-only).
struct FunctionDescription {
    const char* name;
    std::array<const char*, 4> parameters;
    std::size_t n_parameters;
    std::size_t n_required;
};

// One borrowed object per parameter, nullptr when an optional parameter is absent.
using ArgumentSlots = std::array<PyObject*, 4>;

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

// Inserts key and value in dict (the dict then holds the only references); an insertion
// failure leaves the Python error pending and throws PythonErrorPending.
void dict_insert(PyObject* dict, const char* key, PyRef value);
PyRef new_dict();

// Throws FatalError("Python API call failed") after printing the pending error, unless object is set.
PyRef checked_creation(PyObject* object);

// Runs body and translates every C++ exception into a Python exception: InvalidInput to
// ValueError, FatalError to the fatal-error exception, std::bad_alloc to MemoryError,
// std::overflow_error to OverflowError, anything else to SystemError.
template <class Body>
PyObject* call_guarded(Body&& body) noexcept;

void raise_translated_exception() noexcept;

template <class Body>
PyObject* call_guarded(Body&& body) noexcept {
    try {
        return body().release();
    } catch (...) {
        raise_translated_exception();
        return nullptr;
    }
}

}  // namespace telvora::py
