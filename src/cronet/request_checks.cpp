#include "request_checks.h"

#include <atomic>
#include <string_view>

#include "diag.h"
#include "fault.h"
#include "http_token.h"

namespace tarnwick {

namespace {

std::atomic<bool> g_input_checks{true};

void check_nul(std::string_view text, const char* what) {
  const auto at = text.find('\0');
  if (at != std::string_view::npos)
    raise_fault(diag::cat(kUnwrapErr, ": NUL byte at position ", at, " of ", what));
}

// The library's own rule, so the core refuses exactly what Cronet would.
bool is_token(std::string_view s) { return cronet_curl::is_http_token(s); }

}  // namespace

bool input_checks_on() noexcept { return g_input_checks.load(std::memory_order_relaxed); }

void set_input_checks_for_testing(bool on) noexcept { g_input_checks.store(on); }

std::optional<std::string> refuse_reason(const RequestSpec& spec) {
  check_nul(spec.method, "the HTTP method");
  check_nul(spec.url, "the URL");
  for (const HeaderPair& h : spec.headers) {
    check_nul(h.name, "an HTTP header name");
    check_nul(h.value, "an HTTP header value");
  }
  // An empty method is Cronet's default (GET, or POST with a body).
  if (!spec.method.empty() && !is_token(spec.method))
    return diag::cat("invalid HTTP method '", spec.method, "'");
  if (spec.url.empty()) return std::string("empty URL");
  for (const HeaderPair& h : spec.headers) {
    if (h.name.empty()) return std::string("empty HTTP header name");
    if (h.value.empty()) return diag::cat("empty HTTP header value for '", h.name, "'");
    if (!is_token(h.name)) return diag::cat("invalid HTTP header name '", h.name, "'");
    if (h.value.find_first_of("\r\n") != std::string::npos)
      return diag::cat("invalid HTTP header value for '", h.name, "'");
  }
  return std::nullopt;
}

}  // namespace tarnwick
