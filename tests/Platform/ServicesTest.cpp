// The small Linux services: the daemon's file watcher (and through it the
// delays and cancellation of the queue under it) and the filter's follower of
// the rules channel. The clocks are read end to end (the status JSON's boot id,
// a session's time across a SIGKILL); the log sink's journal fields are the
// system suite's to read back.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "HushwallCore/FilterRuleSet.hpp"
#include "HushwallCore/Strings.hpp"
#include "Platform/FileWatcher.hpp"
#include "Platform/FilterFollower.hpp"
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
  EXPECT_EQ(log.count("watching " + path + " is deferred; path is absent"), 1u);
}

const Uuid first = *Uuid::parse("11111111-1111-4111-8111-111111111111");
const BusError away{"org.freedesktop.DBus.Error.ServiceUnknown", "not there"};

std::string blocking(std::vector<std::string> domains) {
  return FilterRuleSet(1, FilterRuleSet::State::blocking, first, std::move(domains)).encoded();
}
std::string session(const std::optional<Uuid>& id) { return id ? " " + id->string().substr(0, 4) : ""; }

// A scripted daemon: each ask takes the next reply. Every ask, apply, report and armed retry is written to
// `transcript`; timers are armed, never waited for. The daemon is away or garbled three times, backing off (a ring
// meanwhile asks at once); the first answer, idle, is applied; the same rules again are not; nothing is due after an
// accepted answer; the daemon goes away, the rules lapse, and the same rules come back and are applied again.
TEST(FilterFollower, AppliesTheFirstAnswerThenOnlyChangesReportsEachApplyAndBacksOffWhileTheDaemonIsAway) {
  const std::string idle = FilterRuleSet(1, FilterRuleSet::State::idle, std::nullopt, {}).encoded();
  // clang-format off
  const std::vector<std::expected<std::string, BusError>> replies = {
      std::unexpected(away), std::string("not json"), std::string(), idle,
      blocking({"A.example", "a.example", "b.example"}), blocking({"a.example", "b.example"}),
      std::unexpected(away), blocking({"a.example", "b.example"}), idle};
  // clang-format on
  std::string transcript;
  std::size_t asked = 0, applies = 0;
  FilterFollower follower{
      {[&] { return transcript += "ask; ", replies.at(asked++); },
       [&](const std::string& bytes) -> std::expected<void, BusError> {
         auto r = *FilterReport::decode(bytes);
         transcript += cat("report ", caseName(r.outcome), " ", r.ruleCount, session(r.sessionID), " ", r.filterVersion,
                           " ", r.detail.value_or(""), "; ");
         return {};
       }},
      {[&](const std::vector<std::string>& hosts, const std::optional<Uuid>& id) {
         transcript += "apply";
         for (const auto& host : hosts) transcript += " " + host;
         transcript += session(id) + "; ";
         return ++applies == 2 ? FilterFollower::Applied{FilterReport::Outcome::applyFailed, "no queue"}
                               : FilterFollower::Applied{};
       },
       [&](double seconds) { transcript += cat("retry ", static_cast<int>(seconds), "; "); }, [](std::string_view) {}},
      "9.9"};
  using F = FilterFollower;
  for (auto event : {&F::start, &F::retryFired, &F::rang, &F::retryFired, &F::rang, &F::rang, &F::retryFired, &F::rang,
                     &F::lapse, &F::retryFired, &F::rang})
    (follower.*event)();
  EXPECT_EQ(transcript,
            "ask; retry 2; ask; retry 4; ask; retry 8; ask; apply; report applied 0 9.9 ; "
            "ask; apply a.example b.example 1111; report applyFailed 2 1111 9.9 no queue; ask; ask; retry 2; apply; "
            "ask; apply a.example b.example 1111; report applied 2 1111 9.9 ; ask; apply; report applied 0 9.9 ; ");
}

}  // namespace
}  // namespace hushwall
