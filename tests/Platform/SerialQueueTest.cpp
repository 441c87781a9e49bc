#include "Platform/SerialQueue.hpp"

#include <gtest/gtest.h>

#include <atomic>

#include "Eventually.hpp"

namespace hushwall {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Delayed work waits for its delay, and never runs once cancelled, from another thread or on the queue once due:
// each check waits for a later deadline on the same queue, and what has not run by then never runs. Order, inline
// sync and timers are left to the tests of everything built on the queue.
TEST(SerialQueue, DelayedWorkRunsAfterItsDelayUnlessCancelled) {
  std::atomic<Clock::time_point> ranAt{};
  std::atomic<bool> markerRan = false;
  SerialQueue queue("org.hushwall.test.queue");
  auto start = Clock::now();
  auto kept = queue.asyncAfter(60ms, [&] { ranAt = Clock::now(); });
  auto cancelled = [] { ADD_FAILURE() << "cancelled work ran"; };
  queue.asyncAfter(30ms, cancelled).cancel();  // well before the deadline
  ASSERT_TRUE(testing::eventually([&] { return ranAt.load() != Clock::time_point(); }));
  EXPECT_GE(ranAt.load() - start, 60ms);
  queue.sync([&] { queue.asyncAfter(0ms, cancelled).cancel(); });  // due, but before its turn
  auto after = queue.asyncAfter(1ms, [&] { markerRan = true; });
  ASSERT_TRUE(testing::eventually([&] { return markerRan.load(); }));
  SerialQueue::WorkItem().cancel();  // a default item is inert
}

}  // namespace
}  // namespace hushwall
