#include "convert.h"

#include <algorithm>
#include <cstring>

namespace tarnwick::py {
namespace {

// Size hints come from user code (__len__); never let one make us allocate
// more than this up front.
constexpr Py_ssize_t kMaxHeaderHint = 1024;
constexpr Py_ssize_t kMaxBodyHint = Py_ssize_t{1} << 26;

// The refusals shared by both list parameters, then an iterator over the
// object. `hint` gets its length, or 0 when asking for it failed.
PyRef iterate_sequence(PyObject* obj, Py_ssize_t& hint) {
  hint = 0;
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return PyRef();
  }
  if (!PySequence_Check(obj)) {
    raise_cannot_convert(obj, "Sequence");
    return PyRef();
  }
  Py_ssize_t len = PySequence_Size(obj);
  if (len < 0) {
    PyErr_Clear();  // the length only sizes the result
  } else {
    hint = len;
  }
  return PyRef(PyObject_GetIter(obj));
}

// Ends an iteration loop: true when the iterator simply ran out.
bool iteration_ended_cleanly() { return PyErr_Occurred() == nullptr; }

bool to_header_pair(PyObject* item, HeaderPair& out) {
  if (!PyTuple_Check(item)) {
    raise_cannot_convert(item, "PyTuple");
    return false;
  }
  Py_ssize_t len = PyTuple_GET_SIZE(item);
  if (len != 2) {
    PyErr_Format(PyExc_TypeError, "expected tuple of length 2, but got tuple of length %zd", len);
    return false;
  }
  return to_text(PyTuple_GET_ITEM(item, 0), out.name) &&
         to_text(PyTuple_GET_ITEM(item, 1), out.value);
}

bool to_byte(PyObject* item, std::uint8_t& out) {
  long value = 0;
  if (PyLong_Check(item)) {
    value = PyLong_AsLong(item);
  } else {
    PyRef index(PyNumber_Index(item));
    if (!index) return false;
    value = PyLong_AsLong(index.get());
  }
  if (value == -1 && PyErr_Occurred()) return false;
  if (value < 0 || value > 255) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = static_cast<std::uint8_t>(value);
  return true;
}

// Exact bytes and bytearray cannot fail item by item, so one copy gives the
// same result without a Python object per byte.
bool copy_buffer(PyObject* obj, ByteBuffer& out) {
  Py_buffer view;
  if (PyObject_GetBuffer(obj, &view, PyBUF_SIMPLE) != 0) return false;
  try {
    out = ByteBuffer(view.buf, static_cast<std::size_t>(view.len));
  } catch (...) {
    PyBuffer_Release(&view);
    throw;
  }
  PyBuffer_Release(&view);
  return true;
}

bool type_attr_equals(PyTypeObject* type, const char* attr, const char* expected) {
  PyRef value(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), attr));
  if (!value) {
    PyErr_Clear();
    return false;
  }
  if (!PyUnicode_Check(value.get())) return false;
  return PyUnicode_CompareWithASCIIString(value.get(), expected) == 0;
}

bool is_numpy_bool(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  return type_attr_equals(type, "__module__", "numpy") &&
         (type_attr_equals(type, "__name__", "bool_") ||
          type_attr_equals(type, "__name__", "bool"));
}

}  // namespace

bool to_text(PyObject* obj, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    raise_cannot_convert(obj, "PyString");
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) return false;
  out.assign(utf8, static_cast<std::size_t>(size));
  return true;
}

bool to_switch(PyObject* obj, bool& out) {
  if (obj == Py_True || obj == Py_False) {
    out = obj == Py_True;
    return true;
  }
  if (!is_numpy_bool(obj)) {
    raise_cannot_convert(obj, "PyBool");
    return false;
  }
  PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
  if (number == nullptr || number->nb_bool == nullptr) {
    std::string name = type_qualname(Py_TYPE(obj));
    PyErr_Format(PyExc_TypeError, "object of type '%s' does not define a '__bool__' conversion",
                 name.c_str());
    return false;
  }
  int truth = number->nb_bool(obj);
  if (truth < 0) return false;
  out = truth != 0;
  return true;
}

bool to_u64(PyObject* obj, std::uint64_t& out) {
  unsigned long long value = 0;
  if (PyLong_Check(obj)) {
    value = PyLong_AsUnsignedLongLong(obj);
  } else {
    PyRef index(PyNumber_Index(obj));
    if (!index) return false;
    value = PyLong_AsUnsignedLongLong(index.get());
  }
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool to_headers(PyObject* obj, std::vector<HeaderPair>& out) {
  Py_ssize_t hint = 0;
  PyRef iter = iterate_sequence(obj, hint);
  if (!iter) return false;
  out.clear();
  out.reserve(static_cast<std::size_t>(std::min(hint, kMaxHeaderHint)));
  while (PyRef item{PyIter_Next(iter.get())}) {
    HeaderPair pair;
    if (!to_header_pair(item.get(), pair)) return false;
    out.push_back(std::move(pair));
  }
  return iteration_ended_cleanly();
}

namespace {
// An abandoned request may read the bytes after the call returned: the
// reference taken here is never dropped.
void keep_forever(void* owner) { Py_INCREF(static_cast<PyObject*>(owner)); }
}  // namespace

bool lend_body(PyObject* obj, LentBytes& out) {
  if (!PyBytes_CheckExact(obj)) return false;
  out.bytes =
      std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj)),
                                    static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
  out.keep = keep_forever;
  out.owner = obj;
  return true;
}

bool to_body(PyObject* obj, ByteBuffer& out) {
  if (PyBytes_CheckExact(obj) || PyByteArray_CheckExact(obj)) return copy_buffer(obj, out);
  Py_ssize_t hint = 0;
  PyRef iter = iterate_sequence(obj, hint);
  if (!iter) return false;
  out.clear();
  out.reserve(static_cast<std::size_t>(std::min(hint, kMaxBodyHint)));
  while (PyRef item{PyIter_Next(iter.get())}) {
    std::uint8_t byte = 0;
    if (!to_byte(item.get(), byte)) return false;
    out.push_back(byte);
  }
  return iteration_ended_cleanly();
}

}  // namespace tarnwick::py
