// The CronetTest_ test controls (see include/cronet_curl_testctl.h).
#include <pthread.h>

#include <cstring>
#include <mutex>
#include <vector>

#include "testctl_internal.h"

namespace cronet_curl {

std::atomic<int64_t> g_live[CronetTest_OBJECT_KIND_COUNT];
std::atomic<bool> g_unconfirmed_cancels{false};
std::atomic<bool> g_withhold_terminal{false};
std::atomic<uint32_t> g_callback_delay_ms{0};
std::atomic<bool> g_post_many_threads{false};
std::atomic<bool> g_journal_on{false};
std::atomic<bool> g_refuse_option_on{false};

namespace {
std::atomic<int> g_fail_starts{0};
std::atomic<int32_t> g_fail_start_code{0};
std::atomic<int64_t> g_buffered{0};
std::atomic<int64_t> g_buffered_high{0};

std::mutex g_ca_mu;
std::string* g_ca_bundle = new std::string;  // never freed
std::mutex g_refuse_mu;
std::string* g_refused_option = new std::string;  // never freed
std::atomic<uint32_t> g_quic_connect_timeout_ms{0};

constexpr size_t kMaxJournalLines = 1000000;

struct Journal {
  std::mutex mu;
  std::vector<std::string> lines;
};
Journal& the_journal() {
  static Journal* j = new Journal;  // never freed: usable during exit
  return *j;
}

// Any thread may hold these two locks for a moment; fork() must not copy one
// held, or the child's only thread would wait on it for good.
void lock_for_fork() {
  g_ca_mu.lock();
  the_journal().mu.lock();
}
void unlock_after_fork() {
  the_journal().mu.unlock();
  g_ca_mu.unlock();
}
[[maybe_unused]] const bool kGForkHandlers =
    pthread_atfork(lock_for_fork, unlock_after_fork, unlock_after_fork) == 0;
}  // namespace

uint32_t test_quic_connect_timeout_ms() {
  return g_quic_connect_timeout_ms.load(std::memory_order_relaxed);
}

std::string test_ca_bundle() {
  std::lock_guard<std::mutex> l(g_ca_mu);
  return *g_ca_bundle;
}

bool option_refused_for_test(const std::string& name) {
  std::lock_guard<std::mutex> l(g_refuse_mu);
  return *g_refused_option == name;
}

bool take_engine_start_failure(int32_t* code) {
  int n = g_fail_starts.load(std::memory_order_relaxed);
  while (n > 0) {
    if (g_fail_starts.compare_exchange_weak(n, n - 1, std::memory_order_acq_rel)) {
      *code = g_fail_start_code.load(std::memory_order_relaxed);
      return true;
    }
  }
  return false;
}

void add_buffered_bytes(int64_t delta) {
  int64_t now = g_buffered.fetch_add(delta, std::memory_order_relaxed) + delta;
  if (delta > 0) {
    int64_t high = g_buffered_high.load(std::memory_order_relaxed);
    while (now > high &&
           !g_buffered_high.compare_exchange_weak(high, now, std::memory_order_relaxed)) {
    }
  }
}

std::string journal_quote(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 2);
  out += '"';
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c >= 0x7f) {
          char buf[5];
          buf[0] = '\\';
          buf[1] = static_cast<char>('0' + ((c >> 6) & 7));
          buf[2] = static_cast<char>('0' + ((c >> 3) & 7));
          buf[3] = static_cast<char>('0' + (c & 7));
          buf[4] = 0;
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
  return out;
}

JArg::JArg(const char* s) : text(s ? journal_quote(s) : std::string("NULL")) {}

void journal_append(std::string line) {
  Journal& j = the_journal();
  std::lock_guard<std::mutex> lock(j.mu);
  if (!g_journal_on.load(std::memory_order_relaxed)) return;
  if (j.lines.size() < kMaxJournalLines) j.lines.push_back(std::move(line));
}

}  // namespace cronet_curl

using namespace cronet_curl;

extern "C" {

CRONET_EXPORT int64_t CronetTest_LiveObjects(int kind) {
  if (kind < 0 || kind >= CronetTest_OBJECT_KIND_COUNT) return -1;
  return g_live[kind].load(std::memory_order_relaxed);
}

CRONET_EXPORT const char* CronetTest_ObjectKindName(int kind) {
  static const char* const kNames[CronetTest_OBJECT_KIND_COUNT] = {
      "Engine",        "EngineParams",       "Executor",           "Runnable",
      "UrlRequest",    "UrlRequestParams",   "UrlRequestCallback", "HttpHeader",
      "Buffer",        "UploadDataProvider", "UrlResponseInfo",    "Error",
      "UploadDataSink"};
  if (kind < 0 || kind >= CronetTest_OBJECT_KIND_COUNT) return "?";
  return kNames[kind];
}

CRONET_EXPORT void CronetTest_JournalEnable(bool on) {
  Journal& j = the_journal();
  std::lock_guard<std::mutex> lock(j.mu);
  g_journal_on.store(on, std::memory_order_relaxed);
}

CRONET_EXPORT void CronetTest_JournalClear(void) {
  Journal& j = the_journal();
  std::lock_guard<std::mutex> lock(j.mu);
  j.lines.clear();
  j.lines.shrink_to_fit();
}

CRONET_EXPORT size_t CronetTest_JournalRead(char* buf, size_t cap) {
  Journal& j = the_journal();
  std::lock_guard<std::mutex> lock(j.mu);
  size_t need = 0;
  for (size_t i = 0; i < j.lines.size(); ++i) need += j.lines[i].size() + (i ? 1 : 0);
  if (buf && cap > 0) {
    size_t pos = 0;
    for (size_t i = 0; i < j.lines.size() && pos + 1 < cap; ++i) {
      if (i) buf[pos++] = '\n';
      const std::string& l = j.lines[i];
      size_t n = std::min(l.size(), cap - 1 - pos);
      std::memcpy(buf + pos, l.data(), n);
      pos += n;
    }
    if (pos >= cap) pos = cap - 1;
    buf[pos] = 0;
  }
  return need;
}

CRONET_EXPORT void CronetTest_FailNextEngineStarts(int count, int32_t result_code) {
  g_fail_start_code.store(result_code, std::memory_order_relaxed);
  g_fail_starts.store(count > 0 ? count : 0, std::memory_order_release);
}

CRONET_EXPORT void CronetTest_SetUnconfirmedCancels(bool on) {
  g_unconfirmed_cancels.store(on, std::memory_order_relaxed);
}

CRONET_EXPORT void CronetTest_SetWithholdTerminal(bool on) {
  g_withhold_terminal.store(on, std::memory_order_relaxed);
}

CRONET_EXPORT void CronetTest_SetCallbackDelayMs(uint32_t ms) {
  g_callback_delay_ms.store(ms, std::memory_order_relaxed);
}

CRONET_EXPORT void CronetTest_SetPostFromManyThreads(bool on) {
  g_post_many_threads.store(on, std::memory_order_relaxed);
}

CRONET_EXPORT void CronetTest_SetCaBundle(const char* path) {
  std::lock_guard<std::mutex> l(g_ca_mu);
  *g_ca_bundle = path ? path : "";
}

CRONET_EXPORT void CronetTest_RefuseCurlOption(const char* name) {
  std::lock_guard<std::mutex> l(g_refuse_mu);
  *g_refused_option = name ? name : "";
  g_refuse_option_on.store(!g_refused_option->empty(), std::memory_order_relaxed);
}

CRONET_EXPORT void CronetTest_SetQuicConnectTimeoutMs(uint32_t ms) {
  g_quic_connect_timeout_ms.store(ms, std::memory_order_relaxed);
}

CRONET_EXPORT void CronetTest_Reset(void) {
  CronetTest_SetCaBundle(nullptr);
  CronetTest_RefuseCurlOption(nullptr);
  CronetTest_SetQuicConnectTimeoutMs(0);
  CronetTest_FailNextEngineStarts(0, 0);
  CronetTest_SetUnconfirmedCancels(false);
  CronetTest_SetWithholdTerminal(false);
  CronetTest_SetCallbackDelayMs(0);
  CronetTest_SetPostFromManyThreads(false);
  CronetTest_JournalEnable(false);
  CronetTest_JournalClear();
  CronetTest_ResetBufferedHighWater();
}

CRONET_EXPORT int64_t CronetTest_BufferedBodyBytes(void) {
  return g_buffered.load(std::memory_order_relaxed);
}

CRONET_EXPORT int64_t CronetTest_BufferedBodyBytesHighWater(void) {
  return g_buffered_high.load(std::memory_order_relaxed);
}

CRONET_EXPORT void CronetTest_ResetBufferedHighWater(void) {
  g_buffered_high.store(g_buffered.load(std::memory_order_relaxed), std::memory_order_relaxed);
}

}  // extern "C"
