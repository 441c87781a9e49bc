#include "Platform/FileWatcher.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "CallRecorder.hpp"
#include "support/CapturingLogSink.hpp"
#include "support/TemporaryDirectory.hpp"

namespace hushwall {
namespace {

using namespace std::chrono_literals;
using testing::CallRecorder;
using Clock = CallRecorder::Clock;

class FileWatcherTest : public ::testing::Test {
 protected:
  void write(const std::string& text, const std::string& path = {}) {
    std::ofstream(path.empty() ? path_ : path, std::ios::app) << text << std::flush;
  }
  // Starts the watcher and waits until the queue has armed it.
  std::shared_ptr<FileWatcher> started(std::chrono::milliseconds debounce) {
    auto watcher = FileWatcher::make(path_, queue_, debounce, calls_.callback());
    watcher->start();
    queue_.sync([] {});
    return watcher;
  }
  // No further call within `quiet` of now.
  void expectNoCallBeyond(std::size_t count, std::chrono::milliseconds quiet) {
    EXPECT_FALSE(calls_.waitFor(count + 1, quiet)) << "an unexpected handler call";
  }
  std::size_t deferrals() const { return log_.count("watching " + path_ + " is deferred; path is absent"); }

  testing::CapturingLogSink log_;
  testing::TemporaryDirectory dir_;
  const std::string path_ = dir_.file("watched");
  SerialQueue queue_{"org.hushwall.test.watchers"};
  CallRecorder calls_;
};

TEST_F(FileWatcherTest, StartNeverCallsAndAWriteCallsOnceAfterTheDebounce) {
  write("127.0.0.1 localhost\n");
  auto watcher = started(50ms);
  expectNoCallBeyond(0, 150ms);

  auto wrote = Clock::now();
  write("::1 localhost\n");
  ASSERT_TRUE(calls_.waitFor(1));
  EXPECT_GE(calls_.times()[0] - wrote, 50ms);
  expectNoCallBeyond(1, 150ms);
  EXPECT_EQ(deferrals(), 0u);
}

TEST_F(FileWatcherTest, ABurstOfFiveWritesGivesOneCallADebounceAfterTheLast) {
  write("start\n");
  auto watcher = started(250ms);
  Clock::time_point last;
  for (int i = 0; i < 5; ++i) {
    write("line\n");
    last = Clock::now();
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_TRUE(calls_.waitFor(1));
  auto delay = calls_.times()[0] - last;
  EXPECT_GE(delay, 250ms);
  // About the debounce after the last write; the slack absorbs a loaded machine.
  EXPECT_LT(delay, 1250ms);
  expectNoCallBeyond(1, 400ms);
}

TEST_F(FileWatcherTest, FollowsAnAtomicRenameOverThePath) {
  write("old\n");
  auto watcher = started(50ms);
  auto temporary = dir_.file(".watched.tmp");
  write("new\n", temporary);
  std::filesystem::rename(temporary, path_);
  ASSERT_TRUE(calls_.waitFor(1));
  expectNoCallBeyond(1, 150ms);

  // The new file is watched, not the replaced one.
  write("edited\n");
  ASSERT_TRUE(calls_.waitFor(2));
  expectNoCallBeyond(2, 150ms);
  EXPECT_EQ(deferrals(), 0u);
}

TEST_F(FileWatcherTest, DeletionCallsAndPollsOnceRecreationWatchesAgain) {
  write("content\n");
  auto watcher = started(50ms);
  std::filesystem::remove(path_);
  ASSERT_TRUE(calls_.waitFor(1));
  queue_.sync([] {});
  EXPECT_EQ(deferrals(), 1u);

  auto created = Clock::now();
  write("back\n");
  // Found by the next poll (at most a second plus its leeway), then debounced.
  ASSERT_TRUE(calls_.waitFor(2, 3s));
  EXPECT_LT(calls_.times()[1] - created, 1s + FileWatcher::pollLeeway + 50ms + 1s);

  write("watched again\n");
  ASSERT_TRUE(calls_.waitFor(3, 900ms)) << "inotify, not the poll, must report this edit";
  EXPECT_EQ(deferrals(), 1u);
}

TEST_F(FileWatcherTest, StartingOnAnAbsentPathLogsTheDeferralOnceWhilePolling) {
  auto watcher = started(50ms);
  EXPECT_EQ(deferrals(), 1u);
  auto record = log_.records().back();
  EXPECT_EQ(record.level, LogLevel::debug);
  EXPECT_EQ(record.category, "watcher");
  EXPECT_EQ(record.subsystem, "org.hushwall.daemon");

  expectNoCallBeyond(0, 2300ms);  // two polls find nothing and stay silent
  EXPECT_EQ(deferrals(), 1u);

  write("created\n");
  ASSERT_TRUE(calls_.waitFor(1, 3s));
  expectNoCallBeyond(1, 300ms);
}

TEST_F(FileWatcherTest, NothingIsCalledAfterCancelOrOnceTheWatcherIsDropped) {
  write("content\n");
  for (bool drop : {false, true}) {
    SCOPED_TRACE(drop ? "dropped" : "cancelled");
    auto watcher = started(1s);
    write("change\n");
    // Wait until the change is pending, then stop the watcher before it is due.
    std::this_thread::sleep_for(30ms);
    if (drop) {
      watcher.reset();
    } else {
      watcher->cancel();
    }
    queue_.sync([] {});
    write("after\n");
    std::filesystem::remove(path_);
    write("recreated\n");
    expectNoCallBeyond(0, 1300ms);  // past the moment the pending call was due
  }
}

TEST_F(FileWatcherTest, CancelledWhileAbsentStopsPolling) {
  auto watcher = started(50ms);
  watcher->cancel();
  write("created\n");
  expectNoCallBeyond(0, 1500ms);
}

}  // namespace
}  // namespace hushwall
