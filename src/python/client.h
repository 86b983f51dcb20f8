// The ZoDeruziDuzera instance and its class object (client.cpp), and its
// methods (client_methods.cpp).
#pragma once

#include "binding.h"

#include <memory>

#include "session_manager.h"

namespace tarnwick::py {

struct ClientObject {
  PyObject_HEAD
  // The only reference: the registry lives exactly as long as the instance.
  std::shared_ptr<SessionManager> manager;
};

// The class, made on first use and kept for the life of the process. Borrowed;
// nullptr with an error set when it could not be made.
PyTypeObject* client_type();

// The method table, in the class's order.
PyMethodDef* client_methods();

}  // namespace tarnwick::py
