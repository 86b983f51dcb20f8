// Python argument objects to the core's value types. Each returns false with a
// Python exception set; the caller adds the argument-name prefix.
#pragma once

#include "binding.h"

#include <cstdint>
#include <string>
#include <vector>

#include "byte_buffer.h"
#include "types.h"

namespace tarnwick::py {

// A str (subclasses too), copied as UTF-8.
bool to_text(PyObject* obj, std::string& out);

// Exactly True/False, or a NumPy boolean scalar.
bool to_switch(PyObject* obj, bool& out);

// An int, or anything with __index__, within 0..2**64-1.
bool to_u64(PyObject* obj, std::uint64_t& out);

// A non-str sequence of 2-tuples of str.
bool to_headers(PyObject* obj, std::vector<HeaderPair>& out);

// A non-str sequence of integers 0..255; bytearray (and exact bytes, where
// lending does not apply) in one copy.
bool to_body(PyObject* obj, ByteBuffer& out);

// Exact bytes are immutable, and the calling thread holds the interpreter lock
// (so the caller's reference) until the request is released: they are lent to
// the request instead of copied. False for any other object.
bool lend_body(PyObject* obj, LentBytes& out);

}  // namespace tarnwick::py
