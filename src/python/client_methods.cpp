// The four methods of ZoDeruziDuzera: bind, check the receiver, convert in
// parameter order, call the core, build the result or raise.
#include <string>
#include <utility>
#include <vector>

#include "binding.h"
#include "client.h"
#include "convert.h"
#include "request_call.h"

namespace tarnwick::py {
namespace {

constexpr const char kCreateSessionDoc[] =
    "create_session($self, proxy_rules=None, skip_cert_verify=None, timeout_ms=None)\n"
    "--\n"
    "\n"
    "Create a new session\n"
    "\n"
    "Args:\n"
    "    proxy_rules: Optional proxy rules string (e.g., \"http://proxy.internal:3128\")\n"
    "    skip_cert_verify: Skip certificate verification\n"
    "    timeout_ms: Default timeout for requests\n"
    "\n"
    "Returns:\n"
    "    Session ID string";

constexpr const char kRequestDoc[] =
    "request($self, session_id, url, method, headers=None, body=None)\n"
    "--\n"
    "\n"
    "Execute request using a session\n"
    "\n"
    "Args:\n"
    "    session_id: Session ID\n"
    "    url: Target URL\n"
    "    method: HTTP method (GET, POST, etc.)\n"
    "    headers: List of tuples [(\"name\", \"value\"), ...]\n"
    "    body: Request body as bytes\n"
    "\n"
    "Returns:\n"
    "    Dict with keys: status_code, headers, body";

constexpr const char kCloseSessionDoc[] = "close_session($self, session_id)\n--\n\nClose a session";

constexpr const char kListSessionsDoc[] = "list_sessions($self)\n--\n\nList all active sessions";

// None stands for an omitted optional argument.
bool given(PyObject* arg) { return arg != nullptr && arg != Py_None; }

// Conversion of parameter `name` failed.
PyObject* argument_error(const char* name) {
  prefix_argument_error(name);
  return nullptr;
}

SessionManager* receiver(PyObject* self) {
  PyTypeObject* type = client_type();
  if (type == nullptr) return nullptr;
  if (self == nullptr || !PyObject_TypeCheck(self, type)) {
    std::string name = self != nullptr ? type_qualname(Py_TYPE(self)) : "NoneType";
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", name.c_str(),
                 kClassName);
    return nullptr;
  }
  return reinterpret_cast<ClientObject*>(self)->manager.get();
}

PyObject* new_text(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* create_session(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"proxy_rules", "skip_cert_verify", "timeout_ms"};
    static const Signature sig{"ZoDeruziDuzera.create_session()", names, 3, 0};
    PyObject* arg[3];
    if (!bind_fastcall(sig, args, nargs, kwnames, arg)) return nullptr;
    SessionManager* manager = receiver(self);
    if (manager == nullptr) return nullptr;

    SessionConfig config;
    if (given(arg[0])) {
      std::string rules;
      if (!to_text(arg[0], rules)) return argument_error(names[0]);
      config.proxy_rules = std::move(rules);
    }
    if (given(arg[1]) && !to_switch(arg[1], config.skip_cert_verify)) {
      return argument_error(names[1]);
    }
    if (given(arg[2]) && !to_u64(arg[2], config.timeout_ms)) return argument_error(names[2]);

    std::string id = manager->create_session(std::move(config));
    return new_text(id);
  });
}

// Inserts under a key made and interned once for the life of the process;
// PyDict_SetItemString would make and intern a new key object on every call.
int set_item(PyObject* dict, PyObject*& key, const char* text, PyObject* value) {
  if (key == nullptr && (key = PyUnicode_InternFromString(text)) == nullptr) return -1;
  return PyDict_SetItem(dict, key, value);
}

PyObject* g_status_code_key = nullptr;
PyObject* g_body_key = nullptr;
PyObject* g_headers_key = nullptr;

PyObject* response_dict(ResponseData& response) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  PyRef status(PyLong_FromLong(response.status_code));
  if (!status || set_item(dict.get(), g_status_code_key, "status_code", status.get()) != 0) {
    return nullptr;
  }
  // The one copy of the body; the buffer gives its pages back as it goes.
  PyRef body(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(response.body.size())));
  if (!body) return nullptr;
  response.body.move_out_to(PyBytes_AS_STRING(body.get()));
  if (set_item(dict.get(), g_body_key, "body", body.get()) != 0) return nullptr;
  PyRef headers(PyList_New(0));
  if (!headers) return nullptr;
  for (const HeaderPair& pair : response.headers) {
    PyRef name(new_text(pair.name));
    if (!name) return nullptr;
    PyRef value(new_text(pair.value));
    if (!value) return nullptr;
    PyRef tuple(PyTuple_Pack(2, name.get(), value.get()));
    if (!tuple || PyList_Append(headers.get(), tuple.get()) != 0) return nullptr;
  }
  if (set_item(dict.get(), g_headers_key, "headers", headers.get()) != 0) return nullptr;
  return dict.release();
}

PyObject* outcome_to_python(CallOutcome& outcome) {
  using Kind = CallOutcome::Kind;
  switch (outcome.kind) {
    case Kind::kResponse: return response_dict(outcome.response);
    case Kind::kFailed: {
      std::string message = "Request failed: " + outcome.failure;
      PyRef text(new_text(message));
      if (text) PyErr_SetObject(PyExc_RuntimeError, text.get());
      return nullptr;
    }
    case Kind::kRefused:
      PyErr_SetString(PyExc_RuntimeError,
                      "Failed to send request (session not found or concurrent limit reached)");
      return nullptr;
    case Kind::kChannelClosed:
      PyErr_SetString(PyExc_RuntimeError, "Channel closed unexpectedly");
      return nullptr;
    case Kind::kTimeout: {
      std::string message = "Request timeout after " + std::to_string(outcome.timeout_ms) + "ms";
      PyErr_SetString(PyExc_TimeoutError, message.c_str());
      return nullptr;
    }
    case Kind::kHandoverDisconnected:
      PyErr_SetString(PyExc_RuntimeError, "Timeout channel disconnected");
      return nullptr;
  }
  raise_fault("unknown request outcome");
}

PyObject* request(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"session_id", "url", "method", "headers", "body"};
    static const Signature sig{"ZoDeruziDuzera.request()", names, 5, 3};
    PyObject* arg[5];
    if (!bind_fastcall(sig, args, nargs, kwnames, arg)) return nullptr;
    SessionManager* manager = receiver(self);
    if (manager == nullptr) return nullptr;

    std::string session_id;
    RequestSpec spec;
    if (!to_text(arg[0], session_id)) return argument_error(names[0]);
    if (!to_text(arg[1], spec.url)) return argument_error(names[1]);
    if (!to_text(arg[2], spec.method)) return argument_error(names[2]);
    if (given(arg[3]) && !to_headers(arg[3], spec.headers)) return argument_error(names[3]);
    if (given(arg[4]) && !lend_body(arg[4], spec.lent_body) && !to_body(arg[4], spec.body)) {
      return argument_error(names[4]);
    }

    // Blocks with the interpreter lock held, by design: returns only after the
    // request has been released.
    CallOutcome outcome = perform_request(*manager, session_id, std::move(spec));
    return outcome_to_python(outcome);
  });
}

PyObject* close_session(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"session_id"};
    static const Signature sig{"ZoDeruziDuzera.close_session()", names, 1, 1};
    PyObject* arg[1];
    if (!bind_fastcall(sig, args, nargs, kwnames, arg)) return nullptr;
    SessionManager* manager = receiver(self);
    if (manager == nullptr) return nullptr;

    std::string session_id;
    if (!to_text(arg[0], session_id)) return argument_error(names[0]);
    return PyBool_FromLong(manager->close_session(session_id) ? 1 : 0);
  });
}

PyObject* list_sessions(PyObject* self, PyObject* /*unused*/) {
  return guarded([&]() -> PyObject* {
    SessionManager* manager = receiver(self);
    if (manager == nullptr) return nullptr;
    std::vector<std::string> ids = manager->list_sessions();
    PyRef list(PyList_New(static_cast<Py_ssize_t>(ids.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < ids.size(); ++i) {
      PyObject* id = new_text(ids[i]);
      if (id == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), id);  // steals
    }
    return list.release();
  });
}

template <class F>
PyCFunction as_cfunction(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef methods[] = {
    {"create_session", as_cfunction(create_session), METH_FASTCALL | METH_KEYWORDS,
     kCreateSessionDoc},
    {"request", as_cfunction(request), METH_FASTCALL | METH_KEYWORDS, kRequestDoc},
    {"close_session", as_cfunction(close_session), METH_FASTCALL | METH_KEYWORDS, kCloseSessionDoc},
    {"list_sessions", as_cfunction(list_sessions), METH_NOARGS, kListSessionsDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* client_methods() { return methods; }

}  // namespace tarnwick::py
