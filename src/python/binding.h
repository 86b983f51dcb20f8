// Shared machinery of the method boundary: owned references, argument binding,
// the argument-name prefix on conversion errors, and the internal-fault
// exception.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <exception>
#include <new>
#include <string>
#include <utility>

#include "fault.h"

namespace tarnwick::py {

// Owns one strong reference.
class PyRef {
 public:
  PyRef() = default;
  explicit PyRef(PyObject* steal) noexcept : obj_(steal) {}
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(obj_); }

  static PyRef borrow(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return PyRef(obj);
  }
  PyObject* get() const noexcept { return obj_; }
  PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

 private:
  PyObject* obj_ = nullptr;
};

inline constexpr const char kClassName[] = "ZoDeruziDuzera";

// Parameter list of one callable as the binder sees it. Parameters are
// positional-or-keyword; the first `required` ones must be given.
struct Signature {
  const char* full_name;  // "ZoDeruziDuzera.request()"
  const char* const* names;
  Py_ssize_t count;
  Py_ssize_t required;
};

// Binds a fast call with keywords. `out` receives `sig.count` borrowed
// references, nullptr for a parameter not given. False with a TypeError set.
bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** out);

// Same for the tuple-and-dict convention (the constructor).
bool bind_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// A conversion of parameter `name` failed: an exact TypeError becomes
// "argument '{name}': {text}" keeping its cause; anything else passes through.
void prefix_argument_error(const char* name);

// The type's __qualname__ as UTF-8, falling back to tp_name.
std::string type_qualname(PyTypeObject* type);

// TypeError "'{qualname of obj's type}' object cannot be converted to '{target}'".
void raise_cannot_convert(PyObject* obj, const char* target);

// The internal-fault exception type (a direct BaseException subclass), made on
// first use and kept for the life of the process. Borrowed; nullptr with an
// error set when it could not be made.
PyObject* panic_exception_type();
void raise_panic(const char* text);

// Runs a method body and turns C++ failures into Python exceptions, so none of
// them ever crosses into the interpreter.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const Fault& fault) {
    raise_panic(fault.text().c_str());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic("unknown internal fault");
  }
  return nullptr;
}

}  // namespace tarnwick::py
