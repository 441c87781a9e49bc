#include "Platform/SerialQueue.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "CallRecorder.hpp"

namespace hushwall {
namespace {

using namespace std::chrono_literals;
using testing::CallRecorder;

TEST(SerialQueue, RunsPostedWorkInOrderOnItsOwnThread) {
  SerialQueue queue("org.hushwall.test.order");
  EXPECT_FALSE(queue.isCurrent());
  std::vector<int> seen;  // touched only on the queue, read after sync()
  std::thread::id worker;
  for (int i = 0; i < 100; ++i) queue.async([&, i] { seen.push_back(i); });
  queue.sync([&] {
    worker = std::this_thread::get_id();
    EXPECT_TRUE(queue.isCurrent());
    queue.sync([&] { seen.push_back(100); });  // sync on the queue runs inline
  });
  ASSERT_EQ(seen.size(), 101u);
  for (int i = 0; i <= 100; ++i) EXPECT_EQ(seen[static_cast<std::size_t>(i)], i);
  EXPECT_NE(worker, std::this_thread::get_id());
}

// Each check waits for a later deadline on the same queue: what has not run by then never runs.
TEST(SerialQueue, DelayedWorkRunsAfterItsDelayUnlessCancelled) {
  SerialQueue queue("org.hushwall.test.after");
  CallRecorder ran, cancelled, late, marker;
  auto start = CallRecorder::Clock::now();
  auto kept = queue.asyncAfter(60ms, ran.callback());
  queue.asyncAfter(30ms, cancelled.callback()).cancel();  // from another thread, well before the deadline
  ASSERT_TRUE(ran.waitFor(1));
  EXPECT_GE(ran.times()[0] - start, 60ms);
  // Cancelled on the queue once due but before its turn.
  queue.sync([&] { queue.asyncAfter(0ms, late.callback()).cancel(); });
  auto after = queue.asyncAfter(1ms, marker.callback());
  ASSERT_TRUE(marker.waitFor(1));
  EXPECT_EQ(cancelled.count() + late.count(), 0u);
  SerialQueue::WorkItem().cancel();  // a default item is inert
}

TEST(SerialQueue, RepeatingTimerKeepsItsRateUntilItsHandleIsDropped) {
  SerialQueue queue("org.hushwall.test.timer");
  CallRecorder beats, once;
  std::unique_ptr<SerialQueue::EventSource> timer, later;
  auto start = CallRecorder::Clock::now();
  queue.sync([&] { timer = queue.addTimer(10ms, 10ms, 1ms, beats.callback()); });
  ASSERT_TRUE(beats.waitFor(3));
  auto times = beats.times();  // the n-th beat is due at start + 10 ms × n
  for (std::size_t i = 0; i < 3; ++i) EXPECT_GE(times[i] - start, 10ms * (i + 1));
  std::size_t stoppedAt = 0;
  queue.sync([&] {
    timer.reset();
    stoppedAt = beats.count();
    // A one-shot timer past two more beats, whose handler drops its own handle.
    later = queue.addTimer(25ms, 0ms, 0ms, [&] {
      once.record();
      later.reset();
    });
  });
  ASSERT_TRUE(once.waitFor(1));
  EXPECT_EQ(beats.count(), stoppedAt);
  queue.sync([&] { EXPECT_EQ(later, nullptr); });
}

}  // namespace
}  // namespace hushwall
