// The command channel and the session executor thread, driven with stand-in
// runnables so that what runs, when it is freed and on which thread is visible.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "executor.h"
#include "test_support.h"

namespace tarnwick {
namespace {

using testing::eventually;

struct FakeRunnable {
  std::function<void()> body;
  std::atomic<int>* runs;
  std::atomic<int>* destroys;
};

Cronet_RunnablePtr as_runnable(FakeRunnable* f) { return reinterpret_cast<Cronet_RunnablePtr>(f); }
FakeRunnable* as_fake(Cronet_RunnablePtr r) { return reinterpret_cast<FakeRunnable*>(r); }

const RunnableOps kFakeOps{
    [](Cronet_RunnablePtr r) {
      as_fake(r)->runs->fetch_add(1);
      as_fake(r)->body();
    },
    [](Cronet_RunnablePtr r) {
      as_fake(r)->destroys->fetch_add(1);
      delete as_fake(r);
    },
};

struct Harness {
  std::atomic<int> runs{0};
  std::atomic<int> destroys{0};
  SharedCounter in_flight = std::make_shared<Counter>(0);
  std::weak_ptr<Counter> in_flight_watch = in_flight;

  Cronet_RunnablePtr make(std::function<void()> body = [] {}) {
    return as_runnable(new FakeRunnable{std::move(body), &runs, &destroys});
  }
};

// ---- channel --------------------------------------------------------------

class ChannelDisconnect : public ::testing::TestWithParam<int> {};

TEST_P(ChannelDisconnect, QueuedValuesOutliveSendersLastCloneDisconnects) {
  const int clones = GetParam();
  auto [tx, rx] = Channel<int>::make();
  std::vector<Channel<int>::Sender> extra(static_cast<std::size_t>(clones), tx);
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(tx.send(i));
  tx.reset();

  std::vector<int> got;
  std::optional<int> v;
  const auto soon = [] { return std::chrono::steady_clock::now() + std::chrono::milliseconds(20); };
  while (rx.recv_until(soon(), v) == Channel<int>::Receiver::Wait::kItem) got.push_back(*v);
  EXPECT_EQ(got, (std::vector<int>{0, 1, 2, 3, 4}));

  // Any clone still alive keeps the channel open.
  EXPECT_EQ(rx.recv_until(soon(), v), clones > 0 ? Channel<int>::Receiver::Wait::kTimeout
                                                 : Channel<int>::Receiver::Wait::kDisconnected);
  extra.clear();
  EXPECT_EQ(rx.recv(), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(Clones, ChannelDisconnect, ::testing::Values(0, 1, 3),
                         ::testing::PrintToStringParamName());

TEST(CommandChannel, SendFailsOnceTheReceiverIsGone) {
  auto [tx, rx] = Channel<int>::make();
  ASSERT_TRUE(tx.send(1));
  rx.close();
  EXPECT_FALSE(tx.send(2));
}

TEST(CommandChannel, BlockedReceiverWakesWhenTheLastSenderGoes) {
  auto [tx, rx] = Channel<int>::make();
  std::atomic<bool> done{false};
  std::thread consumer([&rx = rx, &done] {
    EXPECT_EQ(rx.recv(), std::nullopt);
    done = true;
  });
  auto clone = tx;
  tx.reset();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(done.load());
  clone.reset();
  consumer.join();
  EXPECT_TRUE(done.load());
}

// A receiver blocked with a deadline, too, wakes at once when the last sender goes.
TEST(CommandChannel, ReceiverWaitingWithADeadlineWakesWhenTheLastSenderGoes) {
  auto [tx, rx] = Channel<int>::make();
  using Wait = Channel<int>::Receiver::Wait;
  std::optional<Wait> got;
  std::thread consumer([&rx = rx, &got] {
    std::optional<int> out;
    got = rx.recv_until(std::chrono::steady_clock::now() + std::chrono::hours(1), out);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  tx.reset();
  consumer.join();
  EXPECT_EQ(got, Wait::kDisconnected);
}

// prefilled values, rounds of three pushes and two pops: the ring wraps and
// grows while it holds values, and still hands them out in order.
class RingOrder : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(RingOrder, KeepsFifoOrderAcrossWrapsAndGrowth) {
  const auto [prefill, rounds] = GetParam();
  RingQueue<std::unique_ptr<int>> q;  // move-only, as results are
  int in = 0, out = 0;
  for (int i = 0; i < prefill; ++i) q.push_back(std::make_unique<int>(in++));
  for (int r = 0; r < rounds; ++r) {
    for (int k = 0; k < 3; ++k) q.push_back(std::make_unique<int>(in++));
    for (int k = 0; k < 2; ++k) {
      ASSERT_FALSE(q.empty());
      EXPECT_EQ(*q.pop_front(), out++);
    }
  }
  EXPECT_EQ(q.size(), static_cast<std::size_t>(in - out));
  while (!q.empty()) EXPECT_EQ(*q.pop_front(), out++);
  EXPECT_EQ(out, in);
}

INSTANTIATE_TEST_SUITE_P(Cases, RingOrder,
                         ::testing::Values(std::make_pair(0, 1), std::make_pair(3, 5),
                                           std::make_pair(4, 10), std::make_pair(7, 40)));

// ---- executor thread ------------------------------------------------------

TEST(ExecutorThread, RunsEveryQueuedCommandBeforeEndingOnDisconnect) {
  Harness h;
  auto [tx, rx] = CommandChannel::make();
  std::vector<int> order;
  std::mutex mu;
  {
    ExecutorContext ctx(tx, h.in_flight);
    // Queued before the thread even starts, then every sender dropped at once.
    for (int i = 0; i < 50; ++i)
      post_runnable(ctx, h.make([&, i] {
        std::lock_guard<std::mutex> g(mu);
        order.push_back(i);
      }),
                    kFakeOps);
    EXPECT_EQ(h.in_flight->load(), 50u);
    ASSERT_TRUE(start_executor_thread(std::move(rx), h.in_flight, kFakeOps));
    tx.reset();
  }
  h.in_flight.reset();
  // The thread drops its counter reference when it ends.
  ASSERT_TRUE(eventually([&] { return h.in_flight_watch.expired(); }));
  EXPECT_EQ(h.runs.load(), 50);
  EXPECT_EQ(h.destroys.load(), 50);
  std::vector<int> expected(50);
  for (int i = 0; i < 50; ++i) expected[static_cast<std::size_t>(i)] = i;
  EXPECT_EQ(order, expected);
}

TEST(ExecutorThread, KeepsWaitingWhileARequestStillHoldsAClone) {
  Harness h;
  auto [tx, rx] = CommandChannel::make();
  ASSERT_TRUE(start_executor_thread(std::move(rx), h.in_flight, kFakeOps));
  auto request_ctx = std::make_unique<ExecutorContext>(tx, h.in_flight);
  tx.reset();  // the session's sender goes first, as in teardown
  post_runnable(*request_ctx, h.make(), kFakeOps);
  ASSERT_TRUE(eventually([&] { return h.destroys.load() == 1; }));

  auto watch = h.in_flight_watch;
  h.in_flight.reset();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(watch.expired()) << "thread ended while a sender was still alive";
  request_ctx.reset();
  EXPECT_TRUE(eventually([&] { return watch.expired(); }));
}

TEST(ExecutorThread, InFlightCountsARunnableUntilItHasRunAndBeenDestroyed) {
  Harness h;
  auto [tx, rx] = CommandChannel::make();
  ASSERT_TRUE(start_executor_thread(std::move(rx), h.in_flight, kFakeOps));
  ExecutorContext ctx(tx, h.in_flight);

  std::atomic<bool> release{false};
  std::atomic<bool> entered{false};
  post_runnable(ctx, h.make([&] {
    entered = true;
    while (!release.load()) std::this_thread::yield();
  }),
                kFakeOps);
  ASSERT_TRUE(eventually([&] { return entered.load(); }));
  EXPECT_EQ(h.in_flight->load(), 1u);
  post_runnable(ctx, h.make(), kFakeOps);
  EXPECT_EQ(h.in_flight->load(), 2u);
  EXPECT_EQ(h.destroys.load(), 0);

  release = true;
  ASSERT_TRUE(eventually([&] { return h.in_flight->load() == 0; }));
  // Lowered only after the destroy, never before.
  EXPECT_EQ(h.destroys.load(), 2);
}

TEST(ExecutorThread, CountIsNeverBelowTheNumberOfUnfinishedRunnables) {
  Harness h;
  auto [tx, rx] = CommandChannel::make();
  ASSERT_TRUE(start_executor_thread(std::move(rx), h.in_flight, kFakeOps));
  ExecutorContext ctx(tx, h.in_flight);
  std::atomic<int> violations{0};
  for (int i = 0; i < 200; ++i) {
    // While this runnable runs it is itself still counted.
    post_runnable(ctx, h.make([&] {
      if (h.in_flight->load() == 0) violations.fetch_add(1);
    }),
                  kFakeOps);
  }
  ASSERT_TRUE(eventually([&] { return h.destroys.load() == 200; }));
  EXPECT_EQ(violations.load(), 0);
  EXPECT_EQ(h.in_flight->load(), 0u);
}

struct Posting {
  int requests;
  int per_request;
};

class ExecutorSerialisation : public ::testing::TestWithParam<Posting> {};

TEST_P(ExecutorSerialisation, RunOneAtATimeOnOneThread) {
  const Posting p = GetParam();
  Harness h;
  auto [tx, rx] = CommandChannel::make();
  ASSERT_TRUE(start_executor_thread(std::move(rx), h.in_flight, kFakeOps));

  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::mutex mu;
  std::vector<std::thread::id> threads;
  std::vector<std::vector<int>> seen(static_cast<std::size_t>(p.requests));

  std::vector<std::thread> posters;
  auto& sender = tx;  // a lambda cannot capture a structured binding before C++20
  for (int r = 0; r < p.requests; ++r) {
    // Each request posts through its own context, as each Cronet executor does.
    posters.emplace_back([&, r] {
      ExecutorContext ctx(sender, h.in_flight);
      for (int i = 0; i < p.per_request; ++i) {
        post_runnable(ctx, h.make([&, r, i] {
          if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
          {
            std::lock_guard<std::mutex> g(mu);
            threads.push_back(std::this_thread::get_id());
            seen[static_cast<std::size_t>(r)].push_back(i);
          }
          std::this_thread::yield();
          inside.fetch_sub(1);
        }),
                      kFakeOps);
      }
    });
  }
  for (auto& t : posters) t.join();
  const int total = p.requests * p.per_request;
  ASSERT_TRUE(eventually([&] { return h.destroys.load() == total; }));

  EXPECT_EQ(overlaps.load(), 0);
  ASSERT_EQ(threads.size(), static_cast<std::size_t>(total));
  for (const auto& id : threads) EXPECT_EQ(id, threads.front());
  EXPECT_NE(threads.front(), std::this_thread::get_id());
  // Each poster's runnables keep the order in which they were sent.
  for (const auto& s : seen) {
    ASSERT_EQ(s.size(), static_cast<std::size_t>(p.per_request));
    for (int i = 0; i < p.per_request; ++i) EXPECT_EQ(s[static_cast<std::size_t>(i)], i);
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, ExecutorSerialisation,
                         ::testing::Values(Posting{2, 100}, Posting{4, 50}, Posting{10, 20}),
                         [](const auto& info) {
                           return std::to_string(info.param.requests) + "x" +
                                  std::to_string(info.param.per_request);
                         });

TEST(ExecutorThread, PostAfterTheReceiverIsGoneFreesTheRunnableAndUndoesTheCount) {
  Harness h;
  auto [tx, rx] = CommandChannel::make();
  rx.close();
  ExecutorContext ctx(tx, h.in_flight);
  post_runnable(ctx, h.make(), kFakeOps);
  EXPECT_EQ(h.runs.load(), 0);
  EXPECT_EQ(h.destroys.load(), 1);
  EXPECT_EQ(h.in_flight->load(), 0u);
}

}  // namespace
}  // namespace tarnwick
