// Module initialisation: one interpreter per process, the class bound by name.
#include <atomic>
#include <cstdint>

#include "binding.h"
#include "client.h"

namespace tarnwick::py {
namespace {

// Appends the class name to __all__ (made when missing) and binds the class.
bool add_class(PyObject* module) {
  PyTypeObject* type = client_type();
  if (type == nullptr) return false;
  PyRef all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return false;
  }
  if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "`__all__` must be a list");
    return false;
  }
  PyRef name(PyUnicode_FromString(kClassName));
  if (!name || PyList_Append(all.get(), name.get()) != 0) return false;
  return PyObject_SetAttrString(module, kClassName, reinterpret_cast<PyObject*>(type)) == 0;
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tarnwick",
    "Python module",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The first interpreter that initialised the module; -1 before that.
std::atomic<std::int64_t> owner_interpreter{-1};
// Filled under the interpreter lock; kept for the life of the process.
PyObject* module_cell = nullptr;

PyObject* init_module() {
  PyInterpreterState* interp = PyInterpreterState_Get();
  std::int64_t id = PyInterpreterState_GetID(interp);
  if (id == -1) return nullptr;
  std::int64_t expected = -1;
  if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "tarnwick does not support sub-interpreters: it can be imported in "
                    "one interpreter per process only");
    return nullptr;
  }
  if (module_cell != nullptr) {
    Py_INCREF(module_cell);
    return module_cell;
  }
  PyRef module(PyModule_Create2(&module_def, 1013));
  if (!module) return nullptr;
  if (!add_class(module.get())) return nullptr;
  module_cell = PyRef::borrow(module.get()).release();
  return module.release();
}

}  // namespace
}  // namespace tarnwick::py

PyMODINIT_FUNC PyInit_tarnwick(void) {
  return tarnwick::py::guarded([] { return tarnwick::py::init_module(); });
}
