#include "Platform/SerialQueue.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "Eventually.hpp"

namespace hushwall {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Delayed work never runs once cancelled, from another thread or on the queue once due: each check waits for a
// later deadline on the same queue, and what has not run by then never runs.
TEST(SerialQueue, RunsWorkInOrderOnItsOwnThreadAndDelayedWorkAfterItsDelayUnlessCancelled) {
  std::atomic<Clock::time_point> ranAt{};
  std::atomic<bool> markerRan = false;
  SerialQueue queue("org.hushwall.test.queue");
  std::vector<int> seen;  // touched only on the queue, read after sync()
  for (int i = 0; i < 10; ++i) queue.async([&, i] { seen.push_back(i); });
  EXPECT_FALSE(queue.isCurrent());
  queue.sync([&] {
    EXPECT_TRUE(queue.isCurrent());           // on the queue's own thread
    queue.sync([&] { seen.push_back(10); });  // sync on the queue runs inline
  });
  EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));

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
