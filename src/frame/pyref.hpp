// Owning handle for Python object references and the guard that releases the interpreter lock.
#pragma once

#include <Python.h>

#include <utility>

namespace telvora::py {

// Move-only owner of one strong reference. A bare PyObject* elsewhere in the frame is
// either borrowed or about to be handed to a call that steals it.
class PyRef {
public:
    PyRef() noexcept = default;
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

    // Takes over a new reference (which may be NULL).
    static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
    // Adds a reference to a borrowed object.
    static PyRef borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyObject* get() const noexcept { return object_; }
    // Gives up ownership: the caller now owns the reference.
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

// Releases the interpreter lock for the lifetime of the guard. The destructor takes it
// back even while an exception unwinds, so errors are always translated with the lock held.
class LockReleased {
public:
    LockReleased() noexcept : state_(PyEval_SaveThread()) {}
    LockReleased(const LockReleased&) = delete;
    LockReleased& operator=(const LockReleased&) = delete;
    ~LockReleased() { PyEval_RestoreThread(state_); }

private:
    PyThreadState* state_;
};

// The result of work that touches no Python object, done with the interpreter lock released.
template <class Work>
auto without_lock(Work&& work) {
    LockReleased unlocked;
    return work();
}

}  // namespace telvora::py
