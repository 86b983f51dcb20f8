// What the core checks in a request's text before it takes a slot or makes any
// Cronet object.
#pragma once

#include <optional>
#include <string>

#include "types.h"

namespace tarnwick {

// Checks what Cronet would refuse at init, before any slot or object is taken.
// A NUL byte in the method, URL or a header is an internal fault; any other
// problem gives the reason the call fails with.
std::optional<std::string> refuse_reason(const RequestSpec& spec);

// Whether send_request runs refuse_reason (on unless a test turned it off).
bool input_checks_on() noexcept;

// Lets tests hand unchecked input to Cronet to reach its own refusals.
void set_input_checks_for_testing(bool on) noexcept;

}  // namespace tarnwick
