// The two reference types every file of the bindings uses.
//
// Rules:
//  - A function that returns a new reference returns it as PyOwned; a raw
//    `PyObject*` return value is only ever handed straight to CPython.
//  - Parameters are borrowed: a function never steals the reference it is
//    given unless its name says so.
//  - PyOwned decrefs in its destructor and never converts implicitly to
//    `PyObject*`: call get() to lend it, release() to give it to CPython.
#pragma once

#include <Python.h>

#include <utility>

namespace halvorn::bindings {

class PyOwned {
 public:
  PyOwned() noexcept = default;
  // Takes over a reference the caller already owns (may be null).
  static PyOwned steal(PyObject* object) noexcept { return PyOwned(object); }
  // Adds a reference to a borrowed object (may be null).
  static PyOwned incref(PyObject* object) noexcept {
    Py_XINCREF(object);
    return PyOwned(object);
  }

  PyOwned(PyOwned&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }
  PyOwned& operator=(PyOwned&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  PyOwned(const PyOwned&) = delete;
  PyOwned& operator=(const PyOwned&) = delete;
  ~PyOwned() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  // Gives the reference away; this object becomes empty.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  explicit PyOwned(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

// A reference someone else keeps alive for as long as this value is used.
class PyBorrowed {
 public:
  PyBorrowed() noexcept = default;
  explicit PyBorrowed(PyObject* object) noexcept : object_(object) {}
  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

}  // namespace halvorn::bindings
