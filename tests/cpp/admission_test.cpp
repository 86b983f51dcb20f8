// Admission when an allocation fails after the session slot was taken: every
// allocation the core makes during send_request is made to fail in turn, and
// each time the slot must come back and no Cronet object may stay behind.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unwind.h>

#include <cstdlib>
#include <new>
#include <string>

#include "request.h"
#include "request_fixture.h"
#include "stderr_capture.h"

namespace {

// Counted allocations on this thread while armed; the one numbered fail_at throws.
thread_local long t_fail_at = 0;
thread_local long t_counted = 0;
thread_local bool t_busy = false;

const void* cronet_library_base() {
  static const void* base = [] {
    Dl_info info{};
    void* sym = dlsym(RTLD_DEFAULT, "Cronet_Engine_Create");
    return sym != nullptr && dladdr(sym, &info) != 0 ? info.dli_fbase : nullptr;
  }();
  return base;
}

_Unwind_Reason_Code look_for_library(_Unwind_Context* ctx, void* found) {
  Dl_info info{};
  const auto ip = reinterpret_cast<void*>(_Unwind_GetIP(ctx));
  if (dladdr(ip, &info) != 0 && info.dli_fbase == cronet_library_base()) {
    *static_cast<bool*>(found) = true;
    return _URC_END_OF_STACK;
  }
  return _URC_NO_REASON;
}

// Only the core's own allocations fail: Cronet's C API never throws, so a
// failure inside the library is not a case the core has to survive.
bool should_fail() {
  if (t_fail_at == 0 || t_busy) return false;
  t_busy = true;  // the stack walk may allocate itself
  bool inside_cronet = false;
  _Unwind_Backtrace(look_for_library, &inside_cronet);
  t_busy = false;
  return !inside_cronet && ++t_counted == t_fail_at;
}

}  // namespace

void* operator new(std::size_t n) {
  if (should_fail()) throw std::bad_alloc();
  if (void* p = std::malloc(n != 0 ? n : 1)) return p;
  throw std::bad_alloc();
}
// Out of line, or the compiler sees free() meet operator new and warns.
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace tarnwick {
namespace {

using testing::StderrCapture;
using testing::with_prefix;

struct FailCase {
  const char* name;
  bool with_body;
  std::vector<HeaderPair> headers;
};

class AdmissionFailure : public RequestTest, public ::testing::WithParamInterface<FailCase> {};

TEST_P(AdmissionFailure, GivesTheSlotAndEveryObjectBack) {
  ASSERT_NE(cronet_library_base(), nullptr);
  const std::string id = open_session();
  const std::string url = server_->url("/echo");
  auto spec = [&] {
    RequestSpec s = get(url, GetParam().headers);
    if (GetParam().with_body) {
      s.method = "POST";
      s.body.append(reinterpret_cast<const std::uint8_t*>("payload"), 7);
    }
    return s;
  };

  long failures = 0;
  for (long n = 1;; ++n) {
    const Live before = Live::now();
    RequestSpec s = spec();
    std::optional<Admission> admission;
    bool threw = false;
    t_counted = 0;
    t_fail_at = n;
    try {
      admission = manager_.send_request(id, s);
    } catch (const std::bad_alloc&) {
      threw = true;
    }
    t_fail_at = 0;
    if (!threw) {
      ASSERT_TRUE(admission && admission->request) << "allocation " << n;
      ASSERT_TRUE(admission->receiver->recv().has_value());
      admission.reset();
      break;
    }
    ++failures;
    EXPECT_TRUE(back_to(before)) << "allocation " << n << " failed";
  }
  // The session, its engine and the executor context are made before the
  // first count; a request makes at least its state, receiver, context,
  // executor context and the memory of its CronetRequest.
  EXPECT_GE(failures, 5);

  // No failed admission kept its slot: the next one is the only one active.
  DebugOn debug;
  StderrCapture capture;
  CallOutcome o = call(id, spec());
  EXPECT_EQ(o.kind, Kind::kResponse) << o.failure;
  const auto lines = with_prefix(capture.lines(), "[DEBUG] Using session ");
  EXPECT_EQ(lines, (std::vector<std::string>{"[DEBUG] Using session " + id +
                                             " to send request to " + url + " (active: 1/10)"}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AdmissionFailure,
    ::testing::Values(FailCase{"get", false, {}},
                      FailCase{"post_with_headers", true, {{"X-A", "1"}, {"X-B", "2"}}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tarnwick
