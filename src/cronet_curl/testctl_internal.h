// Internal side of the test controls: live-object counters, the journal and
// the fault-injection flags. Everything here is cheap when unused.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "cronet_curl_testctl.h"

namespace cronet_curl {

// ---- live objects ---------------------------------------------------------
extern std::atomic<int64_t> g_live[CronetTest_OBJECT_KIND_COUNT];

template <int Kind>
struct Counted {
  Counted() { g_live[Kind].fetch_add(1, std::memory_order_relaxed); }
  Counted(const Counted&) { g_live[Kind].fetch_add(1, std::memory_order_relaxed); }
  Counted& operator=(const Counted&) { return *this; }
  ~Counted() { g_live[Kind].fetch_sub(1, std::memory_order_relaxed); }
};

// ---- fault injection flags ------------------------------------------------
extern std::atomic<bool> g_unconfirmed_cancels;
extern std::atomic<bool> g_withhold_terminal;
extern std::atomic<uint32_t> g_callback_delay_ms;
extern std::atomic<bool> g_post_many_threads;
// libcurl is treated as refusing the option of this name ("CURLOPT_PROXY",
// "CURLMOPT_MAX_HOST_CONNECTIONS", ...).
extern std::atomic<bool> g_refuse_option_on;
inline bool refusal_injection_on() { return g_refuse_option_on.load(std::memory_order_relaxed); }
bool option_refused_for_test(const std::string& name);
// Returns true and sets *code when an engine start must fail.
bool take_engine_start_failure(int32_t* code);

// ---- buffered body bytes --------------------------------------------------
void add_buffered_bytes(int64_t delta);

// ---- journal --------------------------------------------------------------
extern std::atomic<bool> g_journal_on;
inline bool journal_on() { return g_journal_on.load(std::memory_order_relaxed); }
void journal_append(std::string line);

// Argument formatting for journal lines.
struct JArg {
  std::string text;
  JArg(const char* s);  // quoted string or NULL
  JArg(bool b) : text(b ? "true" : "false") {}
  JArg(int v) : text(std::to_string(v)) {}
  JArg(int64_t v) : text(std::to_string(v)) {}
  JArg(uint64_t v) : text(std::to_string(v)) {}
  JArg(uint32_t v) : text(std::to_string(v)) {}
};
std::string journal_quote(std::string_view s);

inline void journal_call_line(const char* fn) {
  std::string line(fn);
  line += "()";
  journal_append(std::move(line));
}
template <typename... A>
void journal_call_line(const char* fn, const A&... args) {
  std::string line(fn);
  line += '(';
  bool first = true;
  auto add = [&](const JArg& a) {
    if (!first) line += ", ";
    first = false;
    line += a.text;
  };
  (add(JArg(args)), ...);
  line += ')';
  journal_append(std::move(line));
}

}  // namespace cronet_curl

// JOURNAL("Cronet_X_y", args...) records one line when the journal is on.
#define CRONET_JOURNAL(...)                               \
  do {                                                    \
    if (__builtin_expect(::cronet_curl::journal_on(), 0)) \
      ::cronet_curl::journal_call_line(__VA_ARGS__);      \
  } while (0)
