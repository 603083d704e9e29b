// RAII for the interpreter: the owning reference to a Python object (the one way
// this module holds a PyObject*), and a released interpreter lock.
#pragma once

#include <Python.h>

#include <chrono>
#include <thread>
#include <utility>

namespace velmora {

class PyRef {
 public:
  PyRef() noexcept = default;
  // Takes over a new (owned) reference; null is allowed.
  static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
  // Adds a reference to a borrowed object; null is allowed.
  static PyRef borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Gives up ownership: the caller now owns the reference.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  // A new reference for the caller; this one keeps its own.
  [[nodiscard]] PyObject* new_reference() const noexcept {
    Py_XINCREF(object_);
    return object_;
  }

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

// Releases the interpreter lock for its lifetime (taken again on every path out).
class ReleasedLock {
 public:
  ReleasedLock() noexcept : state_(PyEval_SaveThread()) {}
  ~ReleasedLock() {
    // A daemon thread that comes back while the interpreter is finalizing
    // would be ended by the interpreter from inside this destructor, an end
    // that C++ frames cannot unwind (the process would abort); it waits here
    // instead for the process to end.
    if (Py_IsFinalizing()) {
      for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }
    PyEval_RestoreThread(state_);
  }
  ReleasedLock(const ReleasedLock&) = delete;
  ReleasedLock& operator=(const ReleasedLock&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace velmora
