// The daemon's small Linux services: the file watcher (and through it the
// delays and cancellation of the queue under it) and the clocks. The log
// sink's journal fields are the system suite's to read back.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "Platform/FileWatcher.hpp"
#include "Platform/SystemTimeSource.hpp"
#include "support/CapturingLogSink.hpp"
#include "support/TemporaryDirectory.hpp"
#include "support/WaitUntil.hpp"

namespace hushwall {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Start never calls; a burst of writes calls once, a debounce after the last. While the path is absent the watcher
// polls, saying so once per absence.
TEST(FileWatcher, CallsOnceADebounceAfterABurstAndFollowsEachWayOfReplacingTheFile) {
  testing::CapturingLogSink log;
  testing::TemporaryDirectory dir;
  const std::string path = dir.file("watched");
  std::atomic<std::size_t> calls = 0;
  std::atomic<Clock::time_point> firstCall{};
  auto callsReach = [&](std::size_t count, std::chrono::milliseconds timeout = 10s) {
    return testing::waitUntil([&] { return calls >= count; }, timeout, 1ms);
  };
  SerialQueue queue("org.hushwall.test.watchers");
  auto write = [&](const std::string& text) { std::ofstream(path, std::ios::app) << text << std::flush; };
  write("start\n");
  auto onChange = [&] { firstCall = ++calls == 1 ? Clock::now() : firstCall.load(); };
  auto watcher = FileWatcher::make(path, queue, 100ms, onChange, 20ms);  // an absent path polled every 20 ms
  watcher->start();
  queue.sync([] {});
  Clock::time_point last;
  for (int i = 0; i < 3; ++i, std::this_thread::sleep_for(10ms)) {  // a burst shorter than the debounce
    write("line\n");
    last = Clock::now();
    queue.sync([] {});  // each write seen apart, however busy the machine: only the debounce makes them one call
  }
  ASSERT_TRUE(callsReach(1));
  EXPECT_GE(firstCall.load() - last, 100ms);
  testing::writeFile(dir.file(".watched.tmp"), "new\n");
  std::filesystem::rename(dir.file(".watched.tmp"), path);
  ASSERT_TRUE(callsReach(2));
  write("edited\n");  // the new file is watched, not the replaced one
  ASSERT_TRUE(callsReach(3));
  std::filesystem::remove(path);
  ASSERT_TRUE(callsReach(4));
  write("back\n");  // found by the poll
  ASSERT_TRUE(callsReach(5));
  write("watched again\n");
  ASSERT_TRUE(callsReach(6));
  EXPECT_FALSE(callsReach(7, 150ms)) << "a call too many";
  const LogRecord deferred{LogLevel::debug, "org.hushwall.daemon", "watcher",
                           "watching " + path + " is deferred; path is absent"};
  EXPECT_EQ(std::ranges::count(log.records(), deferred), 1);
}

TEST(SystemTimeSource, ReadsTheLiveClocks) {
  SystemTimeSource clock;
  EXPECT_EQ(clock.bootID().size(), 36u) << clock.bootID();  // a UUID, without the line feed
  // Boot time is the wall clock minus the time since boot.
  EXPECT_NEAR(clock.wallClock() - clock.bootTime(), clock.continuous(), 1.0);
  EXPECT_GT(clock.continuous(), 0);
}

}  // namespace
}  // namespace hushwall
