#include "Platform/SerialQueue.hpp"

#include <gtest/gtest.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <thread>
#include <vector>

#include "CallRecorder.hpp"

namespace hushwall {
namespace {

using namespace std::chrono_literals;
using testing::CallRecorder;

TEST(SerialQueue, RunsPostedWorkInOrderOnItsOwnThread) {
  SerialQueue queue("org.hushwall.test.order");
  EXPECT_EQ(queue.label(), "org.hushwall.test.order");
  EXPECT_FALSE(queue.isCurrent());

  std::vector<int> seen;  // touched only on the queue, read after sync()
  std::thread::id worker;
  for (int i = 0; i < 100; ++i) queue.async([&, i] { seen.push_back(i); });
  queue.sync([&] {
    worker = std::this_thread::get_id();
    EXPECT_TRUE(queue.isCurrent());
  });
  ASSERT_EQ(seen.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(seen[static_cast<std::size_t>(i)], i);
  EXPECT_NE(worker, std::this_thread::get_id());

  bool inline_ran = false;
  queue.sync([&] { queue.sync([&] { inline_ran = true; }); });  // sync on the queue runs inline
  EXPECT_TRUE(inline_ran);
}

TEST(SerialQueue, DelayedWorkRunsAfterItsDelayUnlessCancelled) {
  SerialQueue queue("org.hushwall.test.after");
  CallRecorder ran, cancelledRan;
  auto start = CallRecorder::Clock::now();
  auto kept = queue.asyncAfter(60ms, ran.callback());
  auto dropped = queue.asyncAfter(30ms, cancelledRan.callback());
  dropped.cancel();  // from another thread, well before the deadline
  EXPECT_TRUE(dropped.isCancelled());
  EXPECT_FALSE(kept.isCancelled());
  ASSERT_TRUE(ran.waitFor(1));
  EXPECT_GE(ran.times()[0] - start, 60ms);
  queue.sync([] {});
  EXPECT_EQ(cancelledRan.count(), 0u);

  // Cancelled on the queue after it fell due but before its turn: it never runs.
  CallRecorder late;
  queue.sync([&] {
    auto item = queue.asyncAfter(0ms, late.callback());
    std::this_thread::sleep_for(5ms);
    item.cancel();
  });
  auto marker = queue.asyncAfter(20ms, [] {});
  std::this_thread::sleep_for(40ms);
  queue.sync([] {});
  EXPECT_EQ(late.count(), 0u);
  SerialQueue::WorkItem empty;
  empty.cancel();  // a default item is inert
  EXPECT_FALSE(empty.isCancelled());
}

TEST(SerialQueue, RepeatingTimerFiresUntilItsHandleIsDropped) {
  SerialQueue queue("org.hushwall.test.timer");
  CallRecorder beats;
  std::unique_ptr<SerialQueue::EventSource> timer;
  auto start = CallRecorder::Clock::now();
  queue.sync([&] { timer = queue.addTimer(10ms, 10ms, 1ms, beats.callback()); });
  ASSERT_TRUE(beats.waitFor(3));
  // Deadlines keep their rate: the n-th beat is due at start + 10 ms × n.
  auto times = beats.times();
  for (int i = 0; i < 3; ++i) EXPECT_GE(times[static_cast<std::size_t>(i)] - start, 10ms * (i + 1));
  queue.sync([&] { timer.reset(); });
  auto stoppedAt = beats.count();
  std::this_thread::sleep_for(40ms);
  EXPECT_EQ(beats.count(), stoppedAt);

  // A one-shot timer whose handler drops its own handle.
  CallRecorder once;
  queue.sync([&] {
    timer = queue.addTimer(1ms, 0ms, 0ms, [&] {
      once.record();
      timer.reset();
    });
  });
  ASSERT_TRUE(once.waitFor(1));
  queue.sync([&] { EXPECT_EQ(timer, nullptr); });
}

}  // namespace
}  // namespace hushwall
