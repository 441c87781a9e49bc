#include "Platform/SerialQueue.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "CallRecorder.hpp"

namespace hushwall {
namespace {

using namespace std::chrono_literals;
using testing::CallRecorder;

// Delayed work never runs once cancelled, from another thread or on the queue once due: each check waits for a
// later deadline on the same queue, and what has not run by then never runs.
TEST(SerialQueue, RunsWorkInOrderOnItsOwnThreadAndDelayedWorkAfterItsDelayUnlessCancelled) {
  CallRecorder ran, cancelled;
  SerialQueue queue("org.hushwall.test.queue");
  const auto test = std::this_thread::get_id();
  std::vector<int> seen;  // touched only on the queue, read after sync()
  for (int i = 0; i < 10; ++i) queue.async([&, i] { seen.push_back(i); });
  EXPECT_FALSE(queue.isCurrent());
  queue.sync([&] {
    EXPECT_TRUE(queue.isCurrent());
    EXPECT_NE(std::this_thread::get_id(), test);
    queue.sync([&] { seen.push_back(10); });  // sync on the queue runs inline
  });
  EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));

  auto start = CallRecorder::Clock::now();
  auto kept = queue.asyncAfter(60ms, ran.callback());
  queue.asyncAfter(30ms, cancelled.callback()).cancel();  // well before the deadline
  ASSERT_TRUE(ran.waitFor(1));
  EXPECT_GE(ran.times()[0] - start, 60ms);
  queue.sync([&] { queue.asyncAfter(0ms, cancelled.callback()).cancel(); });  // due, but before its turn
  auto after = queue.asyncAfter(1ms, ran.callback());
  ASSERT_TRUE(ran.waitFor(2));
  EXPECT_TRUE(cancelled.times().empty());
  SerialQueue::WorkItem().cancel();  // a default item is inert
}

}  // namespace
}  // namespace hushwall
