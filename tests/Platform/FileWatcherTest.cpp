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

// A short poll, so that an absent path is looked at again within milliseconds.
constexpr auto poll = 20ms;

class FileWatcherTest : public ::testing::Test {
 protected:
  void write(const std::string& text, const std::string& path = {}) {
    std::ofstream(path.empty() ? path_ : path, std::ios::app) << text << std::flush;
  }
  // Starts a watcher and waits until the queue has armed it.
  std::shared_ptr<FileWatcher> started(std::chrono::milliseconds debounce) {
    auto watcher = FileWatcher::make(path_, queue_, debounce, calls_.callback(), poll);
    watcher->start();
    queue_.sync([] {});
    return watcher;
  }
  // No call beyond the `count`-th within `quiet` of now.
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

TEST_F(FileWatcherTest, StartNeverCallsAndABurstOfWritesCallsOnceADebounceAfterTheLast) {
  write("start\n");
  auto watcher = started(100ms);
  CallRecorder::Clock::time_point last;
  for (int i = 0; i < 3; ++i, std::this_thread::sleep_for(10ms)) {  // a burst shorter than the debounce
    write("line\n");
    last = CallRecorder::Clock::now();
  }
  ASSERT_TRUE(calls_.waitFor(1));
  EXPECT_GE(calls_.times()[0] - last, 100ms);
  expectNoCallBeyond(1, 150ms);
  EXPECT_EQ(deferrals(), 0u);
}

// Started on an absent path it polls silently until the file appears, then follows each usual way of replacing it.
TEST_F(FileWatcherTest, FollowsACreationARenameOverThePathADeletionAndARecreation) {
  auto watcher = started(30ms);
  EXPECT_EQ(log_.records().back().level, LogLevel::debug);
  expectNoCallBeyond(0, 5 * poll);
  EXPECT_EQ(deferrals(), 1u) << "one log line per absence, not per poll";
  const std::vector<std::function<void()>> steps = {
      [&] { write("created\n"); },
      [&] {
        write("new\n", dir_.file(".watched.tmp"));
        std::filesystem::rename(dir_.file(".watched.tmp"), path_);
      },
      [&] { write("edited\n"); },  // the new file is watched, not the replaced one
      [&] { std::filesystem::remove(path_); },
      [&] { write("back\n"); },  // found by the poll
      [&] { write("watched again\n"); },
  };
  for (std::size_t i = 0; i < steps.size(); ++i) {
    steps[i]();
    ASSERT_TRUE(calls_.waitFor(i + 1)) << i;
  }
  expectNoCallBeyond(steps.size(), 100ms);
  EXPECT_EQ(deferrals(), 2u);
}

// Four watchers at once, on a present file with a pending call or on an absent path, dropped or cancelled.
TEST_F(FileWatcherTest, NothingIsCalledAfterCancelOrOnceTheWatcherIsDropped) {
  std::vector<std::shared_ptr<FileWatcher>> cancelled;
  for (bool absent : {false, true}) {
    for (bool drop : {false, true}) {
      std::filesystem::remove(path_);
      if (!absent) write("content\n");
      auto watcher = started(100ms);
      write("change\n");
      drop ? watcher.reset() : (watcher->cancel(), cancelled.push_back(watcher));
      queue_.sync([] {});
    }
  }
  std::filesystem::remove(path_);
  write("recreated\n");
  expectNoCallBeyond(0, 200ms);  // past the moment a pending call was due
}

}  // namespace
}  // namespace hushwall
