#include "binding.h"

#include <cstring>
#include <string>

namespace tarnwick::py {
namespace {

const char* was_were(Py_ssize_t n) { return n == 1 ? "was" : "were"; }

void raise_too_many_positional(const Signature& sig, Py_ssize_t given) {
  if (sig.required == sig.count) {
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given",
                 sig.full_name, sig.count, given, was_were(given));
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zd to %zd positional arguments but %zd %s given",
                 sig.full_name, sig.required, sig.count, given, was_were(given));
  }
}

// Places one keyword argument; false with a TypeError set.
bool bind_keyword(const Signature& sig, PyObject* name, PyObject* value, Py_ssize_t nargs,
                  PyObject** out) {
  for (Py_ssize_t i = 0; i < sig.count; ++i) {
    if (!PyUnicode_Check(name) || PyUnicode_CompareWithASCIIString(name, sig.names[i]) != 0) {
      continue;
    }
    if (i < nargs || out[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.full_name,
                   sig.names[i]);
      return false;
    }
    out[i] = value;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig.full_name, name);
  return false;
}

bool check_missing(const Signature& sig, PyObject** out) {
  std::string names;
  Py_ssize_t missing = 0;
  for (Py_ssize_t i = 0; i < sig.required; ++i) {
    if (out[i] == nullptr) ++missing;
  }
  if (missing == 0) return true;
  Py_ssize_t seen = 0;
  for (Py_ssize_t i = 0; i < sig.required; ++i) {
    if (out[i] != nullptr) continue;
    if (seen > 0) {
      if (missing == 2) {
        names += " and ";
      } else {
        names += seen + 1 == missing ? ", and " : ", ";
      }
    }
    names += '\'';
    names += sig.names[i];
    names += '\'';
    ++seen;
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zd required positional %s: %s", sig.full_name, missing,
               missing == 1 ? "argument" : "arguments", names.c_str());
  return false;
}

}  // namespace

bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** out) {
  for (Py_ssize_t i = 0; i < sig.count; ++i) out[i] = nullptr;
  if (nargs > sig.count) {
    raise_too_many_positional(sig, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames != nullptr) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!bind_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], nargs, out)) {
        return false;
      }
    }
  }
  return check_missing(sig, out);
}

bool bind_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  for (Py_ssize_t i = 0; i < sig.count; ++i) out[i] = nullptr;
  Py_ssize_t nargs = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
  if (nargs > sig.count) {
    raise_too_many_positional(sig, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!bind_keyword(sig, key, value, nargs, out)) return false;
    }
  }
  return check_missing(sig, out);
}

void prefix_argument_error(const char* name) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef old_type(type);
  PyRef old_value(value);
  PyRef old_traceback(traceback);
  PyRef text(old_value ? PyObject_Str(old_value.get()) : PyUnicode_FromString(""));
  if (!text) return;
  PyRef message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return;
  PyRef replacement(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!replacement) return;
  if (old_value) {
    // SetCause steals the reference that GetCause hands out.
    if (PyObject* cause = PyException_GetCause(old_value.get())) {
      PyException_SetCause(replacement.get(), cause);
    }
  }
  PyErr_SetObject(PyExc_TypeError, replacement.get());
}

std::string type_qualname(PyTypeObject* type) {
  PyRef qualname(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__"));
  if (qualname && PyUnicode_Check(qualname.get())) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(qualname.get(), &size)) {
      return std::string(utf8, static_cast<std::size_t>(size));
    }
  }
  PyErr_Clear();
  const char* name = type->tp_name;
  if (const char* dot = std::strrchr(name, '.')) name = dot + 1;
  return name;
}

void raise_cannot_convert(PyObject* obj, const char* target) {
  std::string name = type_qualname(Py_TYPE(obj));
  PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", name.c_str(), target);
}

PyObject* panic_exception_type() {
  // Filled under the interpreter lock, never released.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "tarnwick.PanicException",
        "An internal fault of the extension: a broken invariant or an exhausted resource.\n\n"
        "Derives from BaseException so that `except Exception` does not swallow it.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

void raise_panic(const char* text) {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;  // the error of making the type stays set
  PyRef message(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace"));
  if (!message) return;
  PyErr_SetObject(type, message.get());
}

}  // namespace tarnwick::py
