// Internal side of the test controls: live-object counters, the journal and
// the fault-injection flags. Everything here is cheap when unused.
#ifndef CRONET_CURL_TESTCTL_INTERNAL_H_
#define CRONET_CURL_TESTCTL_INTERNAL_H_

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
inline bool RefusalInjectionOn() { return g_refuse_option_on.load(std::memory_order_relaxed); }
bool OptionRefusedForTest(const std::string& name);
// Returns true and sets *code when an engine start must fail.
bool TakeEngineStartFailure(int32_t* code);

// ---- buffered body bytes --------------------------------------------------
void AddBufferedBytes(int64_t delta);

// ---- journal --------------------------------------------------------------
extern std::atomic<bool> g_journal_on;
inline bool JournalOn() { return g_journal_on.load(std::memory_order_relaxed); }
void JournalAppend(std::string line);

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
std::string JournalQuote(std::string_view s);

inline void JournalCallLine(const char* fn) {
  std::string line(fn);
  line += "()";
  JournalAppend(std::move(line));
}
template <typename... A>
void JournalCallLine(const char* fn, const A&... args) {
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
  JournalAppend(std::move(line));
}

}  // namespace cronet_curl

// JOURNAL("Cronet_X_y", args...) records one line when the journal is on.
#define CRONET_JOURNAL(...)                                                     \
  do {                                                                          \
    if (__builtin_expect(::cronet_curl::JournalOn(), 0))                        \
      ::cronet_curl::JournalCallLine(__VA_ARGS__);                              \
  } while (0)

#endif  // CRONET_CURL_TESTCTL_INTERNAL_H_
