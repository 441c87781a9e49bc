#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
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
using testing::CapturingLogSink;
using testing::CoordinatorHarness;

// Ends the process when a stress run has not finished in time: a deadlock
// then fails at once instead of at ctest's timeout.
class Deadline {
 public:
  explicit Deadline(std::chrono::seconds limit)
      : watchdog_([this, limit] {
          std::unique_lock lock(mutex_);
          if (!finished_.wait_for(lock, limit, [this] { return done_; })) {
            std::fprintf(stderr, "the stress run did not finish within %llds: a deadlock\n",
                         static_cast<long long>(limit.count()));
            std::abort();
          }
        }) {}
  ~Deadline() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    finished_.notify_all();
    watchdog_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable finished_;
  bool done_ = false;  // guarded by mutex_
  std::thread watchdog_;
};

// Starts, ticks, repairs, schedule saves (of windows that stay shut) and readers
// from five threads at once.
// Every session that started ends exactly once, and what is left at the end is
// consistent across memory, the session file and the hosts file.
TEST(CoordinatorConcurrency, NoSessionIsLostOrDuplicated) {
  Deadline deadline(std::chrono::seconds(60));
  CoordinatorHarness h;
  CapturingLogSink quiet;
  std::mutex idsMutex;
  std::multiset<Uuid> started, ended;
  std::atomic<bool> done{false};
  std::atomic<bool> ticking{true};

  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    while (ticking) {
      if (auto state = h.coordinator->start({"a.com", "b.com"}, 60)) {
        std::lock_guard lock(idsMutex);
        started.insert(state->id);
      }
      std::this_thread::yield();
    }
  });
  threads.emplace_back([&] {
    // Tick until several sessions have come and gone. The bound keeps the clock
    // (from 00:00 in 20 s steps) short of the saved windows, which open at 12:00.
    for (int i = 0; i < 2000; ++i) {
      {
        std::lock_guard lock(idsMutex);
        if (ended.size() >= 8) break;
      }
      h.clock->advance(20);
      auto outcome = h.coordinator->tick();
      if (outcome.kind == Kind::ended) {
        std::lock_guard lock(idsMutex);
        ended.insert(outcome.state->id);
      }
      std::this_thread::yield();
    }
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
    while (!done) {
      auto session = h.coordinator->current();
      auto rules = h.coordinator->filterRules();
      (void)h.coordinator->isStuck();
      (void)h.coordinator->hasSchedules();
      (void)h.coordinator->scheduleFailureReason();
      if (session) {
        EXPECT_EQ(session->domains.size(), 2u);
      }
      EXPECT_NE(rules.state, FilterRuleSet::State::unknown);
    }
  });
  for (std::size_t i = 0; i + 1 < threads.size(); ++i) threads[i].join();
  done = true;
  threads.back().join();

  // Drain: let the last session run out.
  for (int i = 0; i < 5; ++i) {
    h.clock->advance(20);
    auto outcome = h.coordinator->tick();
    if (outcome.kind == Kind::ended) ended.insert(outcome.state->id);
  }
  EXPECT_FALSE(h.coordinator->isStuck());
  EXPECT_GE(started.size(), 2u);
  EXPECT_EQ(started, ended);
  EXPECT_FALSE(h.coordinator->current());
  EXPECT_FALSE(h.store->exists());
  EXPECT_FALSE(h.hostsHasBlock());
}

// A reader asking while a hosts-file write is held gets the previous snapshot at once.
TEST(CoordinatorConcurrency, ReadersDoNotWaitForAHostsWrite) {
  CoordinatorHarness h;
  CapturingLogSink quiet;
  std::promise<void> writing;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  h.duringHostsWrite = [&, once = std::make_shared<std::once_flag>()] {
    std::call_once(*once, [&] {
      writing.set_value();
      released.wait();
    });
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
