#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <set>
#include <thread>
#include <vector>

#include "CoordinatorHarness.hpp"
#include "support/CapturingLogSink.hpp"
#include "support/ScheduleFixtures.hpp"

namespace hushwall {
namespace {

using Kind = SessionCoordinator::Outcome::Kind;

// Starts, ticks, repairs, schedule saves (of windows that stay shut) and readers from five
// threads at once. Every session that started ends exactly once, and what is left at the end
// is consistent across memory, the session file and the hosts file.
TEST(CoordinatorConcurrency, NoSessionIsLostOrDuplicated) {
  testing::CoordinatorHarness h;
  testing::CapturingLogSink quiet;
  std::mutex idsMutex;
  std::multiset<Uuid> started, ended;  // guarded by idsMutex
  std::atomic<bool> ticking{true}, reading{true};
  auto endedSoFar = [&](const SessionCoordinator::Outcome& outcome) {
    std::lock_guard lock(idsMutex);
    if (outcome.kind == Kind::ended) ended.insert(outcome.state->id);
    return ended.size();
  };
  auto stress = std::async(std::launch::async, [&] {
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
      for (; ticking; std::this_thread::yield()) {
        auto state = h.coordinator->start({"a.com", "b.com"}, 60);
        std::lock_guard lock(idsMutex);
        if (state) started.insert(state->id);
      }
    });
    // The bound keeps the clock (from 00:00 in 20 s steps) short of the saved windows, which open at 12:00.
    threads.emplace_back([&] {
      for (int i = 0; i < 2000 && endedSoFar(h.coordinator->tick()) < 8; ++i) h.clock->advance(20);
      ticking = false;
    });
    threads.emplace_back([&] {
      while (ticking) (void)h.coordinator->verify();
    });
    threads.emplace_back([&] {
      for (int i = 0; ticking; i = (i + 1) % 600) {
        (void)h.coordinator->saveSchedules({testing::weeklySchedule({1, 2, 3, 4, 5, 6, 7}, 720 + i, 60, 1)});
        (void)h.coordinator->saveSchedules({});
      }
    });
    threads.emplace_back([&] {
      while (reading) {
        auto session = h.coordinator->current();
        EXPECT_NE(h.coordinator->filterRules().state, FilterRuleSet::State::unknown);
        (void)h.coordinator->isStuck(), (void)h.coordinator->hasSchedules(), (void)h.coordinator->scheduleFailureReason();
        EXPECT_TRUE(!session || session->domains.size() == 2u);
      }
    });
    for (std::size_t i = 0; i + 1 < threads.size(); ++i) threads[i].join();
    reading = false;
    threads.back().join();
  });
  if (stress.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    std::fputs("the stress run did not finish within 60 s: a deadlock\n", stderr);
    std::abort();  // fails now rather than at ctest's timeout
  }
  for (int i = 0; i < 5; ++i, h.clock->advance(20)) (void)endedSoFar(h.coordinator->tick());  // the last one runs out
  EXPECT_FALSE(h.coordinator->isStuck());
  EXPECT_GE(started.size(), 2u);
  EXPECT_EQ(started, ended);
  EXPECT_FALSE(h.coordinator->current());
  EXPECT_FALSE(h.store->exists());
  EXPECT_FALSE(h.hostsHasBlock());
}

// A reader asking while a hosts-file write is held gets the previous snapshot at once.
TEST(CoordinatorConcurrency, ReadersDoNotWaitForAHostsWrite) {
  testing::CoordinatorHarness h;
  testing::CapturingLogSink quiet;
  std::promise<void> writing, release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> once{true};
  h.duringHostsWrite = [&] {
    if (once.exchange(false)) writing.set_value(), released.wait();
  };
  auto starting = std::async(std::launch::async, [&] { return h.coordinator->start({"a.com"}, 600); });
  writing.get_future().wait();
  EXPECT_FALSE(h.coordinator->current());
  EXPECT_EQ(h.coordinator->filterRules().state, FilterRuleSet::State::idle);
  EXPECT_FALSE(h.coordinator->isStuck());
  EXPECT_FALSE(h.coordinator->scheduleFailureReason());
  release.set_value();
  auto state = starting.get();
  ASSERT_TRUE(state);
  EXPECT_EQ(h.coordinator->current(), *state);
}

}  // namespace
}  // namespace hushwall
