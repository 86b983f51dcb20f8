// Session identifiers, the poisonable registry lock and the diagnostic lines.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "byte_buffer.h"
#include "diag.h"
#include "fault.h"
#include "rwlock.h"
#include "stderr_capture.h"
#include "uuid.h"

namespace tarnwick {
namespace {

using testing::DebugSwitch;
using testing::StderrCapture;

// Read during static initialisation, before any test could flip the switch.
const bool kDebugAtLoad = diag::debug_enabled();

// ---- identifiers ----------------------------------------------------------

struct UuidCase {
  std::uint8_t fill_start;
  std::uint8_t step;
  const char* expected;
};

class UuidFormat : public ::testing::TestWithParam<UuidCase> {};

TEST_P(UuidFormat, SetsVersionVariantAndLowercaseGroups) {
  const UuidCase c = GetParam();
  std::uint8_t bytes[16];
  for (int i = 0; i < 16; ++i) bytes[i] = static_cast<std::uint8_t>(c.fill_start + i * c.step);
  EXPECT_EQ(format_uuid_v4(bytes), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, UuidFormat,
    ::testing::Values(UuidCase{0x00, 0, "00000000-0000-4000-8000-000000000000"},
                      UuidCase{0xff, 0, "ffffffff-ffff-4fff-bfff-ffffffffffff"},
                      UuidCase{0x00, 1, "00010203-0405-4607-8809-0a0b0c0d0e0f"},
                      UuidCase{0xa0, 1, "a0a1a2a3-a4a5-46a7-a8a9-aaabacadaeaf"},
                      // 0x70 in the variant byte: top bits 01 must become 10.
                      UuidCase{0x70, 0, "70707070-7070-4070-b070-707070707070"}),
    [](const auto& info) {
      char name[32];
      std::snprintf(name, sizeof name, "from_%02x_step_%u", info.param.fill_start,
                    unsigned{info.param.step});
      return std::string(name);
    });

TEST(SessionId, IsCanonicalVersion4AndNeverRepeats) {
  const std::regex shape("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$");
  std::set<std::string> seen;
  std::set<char> variants;
  for (int i = 0; i < 2000; ++i) {
    std::string id = new_session_id();
    ASSERT_EQ(id.size(), 36u);
    ASSERT_TRUE(std::regex_match(id, shape)) << id;
    variants.insert(id[19]);
    seen.insert(std::move(id));
  }
  EXPECT_EQ(seen.size(), 2000u);
  // With 2000 draws every variant digit shows up unless the bits are stuck.
  EXPECT_EQ(variants, (std::set<char>{'8', '9', 'a', 'b'}));
}

// ---- registry lock --------------------------------------------------------

enum class Later { kShared, kExclusive };

class LockPoisoning : public ::testing::TestWithParam<Later> {};

TEST_P(LockPoisoning, FaultUnderExclusivePoisonsEveryLaterAcquisition) {
  PoisonRwLock lock;
  {
    StderrCapture quiet;
    EXPECT_THROW(
        {
          PoisonRwLock::Exclusive g(lock);
          raise_fault("boom while holding the lock");
        },
        Fault);
  }
  ASSERT_TRUE(lock.poisoned());
  for (int attempt = 0; attempt < 2; ++attempt) {
    StderrCapture err;
    try {
      if (GetParam() == Later::kShared) {
        PoisonRwLock::Shared g(lock);
      } else {
        PoisonRwLock::Exclusive g(lock);
      }
      ADD_FAILURE() << "a poisoned lock was acquired";
    } catch (const Fault& f) {
      EXPECT_EQ(f.text().rfind(kUnwrapErr, 0), 0u) << f.text();
    }
    // The fault report reaches standard error too.
    EXPECT_NE(err.finish().find(kUnwrapErr), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(Guards, LockPoisoning,
                         ::testing::Values(Later::kShared, Later::kExclusive));

TEST(RegistryLock, OnlyAnUnwindingExclusiveHolderPoisons) {
  PoisonRwLock lock;
  { PoisonRwLock::Exclusive g(lock); }
  EXPECT_FALSE(lock.poisoned());
  {
    StderrCapture quiet;
    EXPECT_THROW(
        {
          PoisonRwLock::Shared g(lock);
          raise_fault("readers change nothing");
        },
        Fault);
  }
  EXPECT_FALSE(lock.poisoned());
  // Still usable both ways, and not left locked by the unwinding reader.
  { PoisonRwLock::Exclusive g(lock); }
  { PoisonRwLock::Shared g(lock); }
}

// ---- diagnostic lines -----------------------------------------------------

TEST(Diagnostics, DebugIsOffAtLoad) { EXPECT_FALSE(kDebugAtLoad); }

struct LineCase {
  bool debug;
  std::vector<std::string> expected;
};

class DiagnosticLines : public ::testing::TestWithParam<LineCase> {};

TEST_P(DiagnosticLines, TagsAndDebugSwitch) {
  DebugSwitch sw(GetParam().debug);
  StderrCapture err;
  TW_DEBUG("Session::drop - active_requests=", 3);
  TW_WARN("Session::drop - Timeout waiting for ", 1, " active requests");
  TW_ERROR("Failed to create session engine: ", -200);
  EXPECT_EQ(err.lines(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Switch, DiagnosticLines,
    ::testing::Values(LineCase{false,
                               {"[WARN] Session::drop - Timeout waiting for 1 active requests",
                                "[ERROR] Failed to create session engine: -200"}},
                      LineCase{true,
                               {"[DEBUG] Session::drop - active_requests=3",
                                "[WARN] Session::drop - Timeout waiting for 1 active requests",
                                "[ERROR] Failed to create session engine: -200"}}),
    [](const auto& info) { return std::string(info.param.debug ? "debug_on" : "debug_off"); });

TEST(Diagnostics, DebugArgumentsAreNotEvaluatedWhileOff) {
  int evaluated = 0;
  auto costly = [&] {
    ++evaluated;
    return "x";
  };
  StderrCapture err;
  TW_DEBUG("value ", costly());
  {
    DebugSwitch on(true);
    TW_DEBUG("value ", costly());
  }
  EXPECT_EQ(evaluated, 1);
  EXPECT_EQ(err.finish(), "[DEBUG] value x\n");
}

TEST(Diagnostics, ConcurrentLinesArriveWholeAndExactlyFormatted) {
  constexpr int kThreads = 8;
  constexpr int kLines = 300;
  StderrCapture err;
  {
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
      writers.emplace_back([t] {
        for (int i = 0; i < kLines; ++i) {
          // Long enough that a line written in pieces would likely be split.
          TW_WARN("writer ", t, " line ", i, " ",
                  std::string(static_cast<std::size_t>(50 + i % 200), 'a' + t));
        }
      });
    }
    for (auto& w : writers) w.join();
  }
  const auto lines = err.lines();
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLines));
  const std::regex shape(R"(^\[WARN\] writer (\d) line (\d+) ([a-h]+)$)");
  std::map<int, int> next;  // per writer, lines keep their order
  for (const auto& l : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(l, m, shape)) << "torn line: " << l;
    const int t = std::stoi(m[1]);
    const int i = std::stoi(m[2]);
    EXPECT_EQ(i, next[t]++);
    EXPECT_EQ(m[3].str(), std::string(static_cast<std::size_t>(50 + i % 200), 'a' + t));
  }
}

}  // namespace
}  // namespace tarnwick

// Large buffers make their pages resident ahead of the writes; whatever the
// growth path (append, grow_for, an early reserve, a move), every byte must
// come out as written.
struct BufferGrowth {
  const char* name;
  std::size_t reserve_first;
  std::vector<std::size_t> pieces;  // appended in turn; 0 marks a move to a fresh buffer
  bool via_grow_for;
};

class ByteBufferGrowth : public ::testing::TestWithParam<BufferGrowth> {};

TEST_P(ByteBufferGrowth, KeepsEveryByteAcrossGrowthAndMoveOut) {
  const BufferGrowth& g = GetParam();
  tarnwick::ByteBuffer buf;
  if (g.reserve_first) buf.reserve(g.reserve_first);
  std::vector<std::uint8_t> piece;
  std::size_t total = 0;
  auto byte_at = [](std::size_t i) {
    return static_cast<std::uint8_t>((i * 131 + i / 4093) & 0xff);
  };
  for (std::size_t n : g.pieces) {
    if (n == 0) {
      tarnwick::ByteBuffer moved(std::move(buf));
      buf = std::move(moved);
      continue;
    }
    piece.resize(n);
    for (std::size_t i = 0; i < n; ++i) piece[i] = byte_at(total + i);
    if (g.via_grow_for) {
      std::memcpy(buf.grow_for(n), piece.data(), n);
      buf.commit(n);
    } else {
      buf.append(piece.data(), n);
    }
    total += n;
  }
  ASSERT_EQ(buf.size(), total);
  std::vector<std::uint8_t> out(total + 1, 0xee);
  buf.move_out_to(out.data());
  EXPECT_TRUE(buf.empty());
  EXPECT_EQ(out[total], 0xee) << "wrote past the end";
  for (std::size_t i = 0; i < total; ++i) ASSERT_EQ(out[i], byte_at(i)) << "byte " << i;
}

constexpr std::size_t kMiB = std::size_t{1} << 20;

INSTANTIATE_TEST_SUITE_P(
    Cases, ByteBufferGrowth,
    ::testing::Values(
        BufferGrowth{"small_pieces_past_the_threshold", 0, std::vector<std::size_t>(300, 32768),
                     false},
        BufferGrowth{"one_large_append", 0, {9 * kMiB + 17}, false},
        BufferGrowth{"presized_then_beyond", 5 * kMiB, {3 * kMiB, 3 * kMiB + 1, 32768}, false},
        BufferGrowth{"grow_for_with_a_move_between", 0, {6 * kMiB, 0, 4 * kMiB + 3, 0, 100}, true},
        BufferGrowth{"uneven_pieces", 4 * kMiB, {1, 4 * kMiB - 2, 3, 2 * kMiB + 4095}, true}),
    [](const auto& info) { return std::string(info.param.name); });
