// The ZoDeruziDuzera class object: construction, destruction, its docstring.
#include <cstring>
#include <memory>
#include <new>

#include "binding.h"
#include "client.h"

namespace tarnwick::py {
namespace {

constexpr const char kClassDoc[] = "ZoDeruziDuzera()\n--\n\nPython wrapper for SessionManager";

PyObject* client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"ZoDeruziDuzera.__new__()", nullptr, 0, 0};
    if (!bind_tuple_dict(sig, args, kwargs, nullptr)) return nullptr;
    auto manager = std::make_shared<SessionManager>();
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;  // `manager` goes with this frame
    new (&reinterpret_cast<ClientObject*>(self)->manager)
        std::shared_ptr<SessionManager>(std::move(manager));
    return self;
  });
}

// Nobody can receive an exception from a destructor: report it and go on.
void report_unraisable(const char* text, PyTypeObject* type) {
  PyObject* saved_type = nullptr;
  PyObject* saved_value = nullptr;
  PyObject* saved_traceback = nullptr;
  PyErr_Fetch(&saved_type, &saved_value, &saved_traceback);
  raise_panic(text);
  // The type, not the dying instance: handing the hook a zero-count object
  // would run this deallocator a second time.
  PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(type));
  PyErr_Restore(saved_type, saved_value, saved_traceback);
}

void client_dealloc(PyObject* self) {
  auto* client = reinterpret_cast<ClientObject*>(self);
  PyTypeObject* type = Py_TYPE(self);
  std::shared_ptr<SessionManager> manager = std::move(client->manager);
  client->manager.~shared_ptr();
  // Tears down every session still open, on this thread, lock held.
  try {
    manager.reset();
  } catch (const std::exception& e) {
    report_unraisable(e.what(), type);
  } catch (...) {
    report_unraisable("unknown internal fault", type);
  }
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

// Wraps the interpreter's failure as the cause of the class-creation error.
void raise_class_creation_error() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  PyRef error(PyObject_CallFunction(PyExc_RuntimeError, "s",
                                    "An error occurred while initializing class ZoDeruziDuzera"));
  if (!error) {
    Py_XDECREF(value);
    return;
  }
  if (value != nullptr) PyException_SetCause(error.get(), value);  // steals `value`
  PyErr_SetObject(PyExc_RuntimeError, error.get());
}

// The interpreter strips the signature from a heap type's stored docstring;
// put the full text back so __text_signature__ is found.
bool restore_full_doc(PyTypeObject* type) {
  std::size_t size = sizeof(kClassDoc);
  auto* copy = static_cast<char*>(PyObject_Malloc(size));
  if (copy == nullptr) {
    PyErr_NoMemory();
    return false;
  }
  std::memcpy(copy, kClassDoc, size);
  PyObject_Free(const_cast<char*>(type->tp_doc));
  type->tp_doc = copy;
  return true;
}

PyObject* make_client_type() {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(kClassDoc)},
      {Py_tp_new, reinterpret_cast<void*>(client_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(client_dealloc)},
      {Py_tp_methods, client_methods()},
      {0, nullptr},
  };
  PyType_Spec spec{"builtins.ZoDeruziDuzera", static_cast<int>(sizeof(ClientObject)), 0,
                   Py_TPFLAGS_DEFAULT, slots};
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) return nullptr;
  if (!restore_full_doc(reinterpret_cast<PyTypeObject*>(type))) {
    Py_DECREF(type);
    return nullptr;
  }
  return type;
}

}  // namespace

PyTypeObject* client_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = make_client_type();
    if (type == nullptr) raise_class_creation_error();
  }
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace tarnwick::py
