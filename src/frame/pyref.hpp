// Owning handle for Python object references and the guard that releases the interpreter lock.
#pragma once

#include <Python.h>

#include <atomic>
#include <chrono>
#include <thread>
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

// Taking the lock back once the interpreter has begun to finalize ends the thread by unwinding
// its stack (pthread_exit), and that unwinding through the noexcept frames of a native call
// terminates the whole process. The gate is closed before finalization starts (from an atexit
// callback, which runs on the thread that finalizes): threads already on their way back in are let
// through first, any later one waits for the process to end instead of re-entering. The closing
// thread itself always passes, so atexit callbacks registered earlier may still call in.
class ShutdownGate {
public:
    // Before taking the lock back; does not return on a thread that must not re-enter.
    static void enter() noexcept {
        entering_.fetch_add(1);
        if (!closed_.load() || closer_.load() == std::this_thread::get_id()) return;
        entering_.fetch_sub(1);
        for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }
    // After the lock is held again.
    static void entered() noexcept { entering_.fetch_sub(1); }

    // Called with the lock held, on the thread that will finalize the interpreter.
    static void close() noexcept {
        closer_.store(std::this_thread::get_id());
        closed_.store(true);
        while (entering_.load() > 0) {
            PyThreadState* state = PyEval_SaveThread();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            PyEval_RestoreThread(state);
        }
    }

private:
    static inline std::atomic<bool> closed_{false};
    static inline std::atomic<int> entering_{0};
    static inline std::atomic<std::thread::id> closer_{};
};

// Releases the interpreter lock for the lifetime of the guard. The destructor takes it
// back even while an exception unwinds, so errors are always translated with the lock held.
class LockReleased {
public:
    LockReleased() noexcept : state_(PyEval_SaveThread()) {}
    LockReleased(const LockReleased&) = delete;
    LockReleased& operator=(const LockReleased&) = delete;
    ~LockReleased() {
        ShutdownGate::enter();
        PyEval_RestoreThread(state_);
        ShutdownGate::entered();
    }

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
