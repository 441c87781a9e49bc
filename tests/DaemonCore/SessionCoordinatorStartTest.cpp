#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <string>
#include <vector>

#include "CoordinatorHarness.hpp"
#include "DaemonCore/HostsDocument.hpp"
#include "support/CapturingLogSink.hpp"

namespace hushwall {
namespace {

using Kind = SessionCoordinator::Outcome::Kind;
using testing::CapturingLogSink;
using testing::CoordinatorHarness;
using testing::readFile;
using testing::writeFile;

const std::vector<std::string> oneDomain{"Example.COM"};

TEST(CoordinatorStart, StartsWritesPublishesAndRingsThenFlushes) {
  CoordinatorHarness h;
  CapturingLogSink logs;
  auto started = h.coordinator->start({"Example.COM", "news.example", "example.com"}, 90.7);
  ASSERT_TRUE(started) << describe(started.error());

  EXPECT_EQ(started->domains, (std::vector<std::string>{"example.com", "news.example"}));
  EXPECT_EQ(started->totalDuration, 90.7);
  EXPECT_EQ(h.coordinator->current(), *started);
  EXPECT_EQ(h.store->load().value(), *started);
  EXPECT_EQ(h.hosts(), HostsDocument::applying(started->domains, started->id, "127.0.0.1\tlocalhost\n"));
  EXPECT_EQ(h.takeEvents(), (std::vector<std::string>{"ring", "flush"}));
  auto rules = h.coordinator->filterRules();
  EXPECT_EQ(rules.state, FilterRuleSet::State::blocking);
  EXPECT_EQ(rules.sessionID, started->id);
  EXPECT_EQ(logs.messages("session"), std::vector<std::string>{"session " + started->id.string() + " started, 90s"});
}

TEST(CoordinatorStart, WithoutAHostsFileCreatesOneHoldingOnlyTheBlock) {
  CoordinatorHarness h;
  ASSERT_EQ(::unlink(h.hostsPath.c_str()), 0);
  auto started = h.coordinator->start(oneDomain, 600);
  ASSERT_TRUE(started) << describe(started.error());
  EXPECT_EQ(h.hosts(), HostsDocument::renderBlock({"example.com"}, started->id));
  EXPECT_EQ(testing::fileMode(h.hostsPath), 0644);
}

// Every refusal, in the order the checks run; each leaves files, memory and the
// filter exactly as they were.
TEST(CoordinatorStart, RefusalsInOrderChangeNothing) {
  CapturingLogSink quiet;
  struct Case {
    const char* what;
    std::function<void(CoordinatorHarness&)> arrange;
    std::vector<std::string> domains;
    double duration;
    Error expected;
    std::vector<std::string> effects = {};  // a failed start rings and flushes nothing
  };
  const std::string region = "# BEGIN HUSHWALL 0\n127.0.0.1\tx.com\n# END HUSHWALL\n";
  const Case cases[] = {
      {"duration below a minute, also with bad domains", {}, {"bad domain"}, 59, DaemonError::durationOutOfRange},
      {"duration not a number", {}, oneDomain, std::nan(""), DaemonError::durationOutOfRange},
      {"an invalid domain", {}, {"ok.com", "not ok"}, 60, DaemonError::invalidDomain},
      {"too many domains", {}, std::vector<std::string>(501, "a.com"), 60, DaemonError::tooManyDomains},
      {"stuck on an unreadable session file",
       [](CoordinatorHarness& h) {
         h.writeSessionFile("{garbled");
         (void)h.coordinator->reconcileOnLaunch();
         h.takeEvents();
       },
       oneDomain, 60, DaemonError::stateUnreadable},
      {"stuck while a session runs: the stuck error comes before sessionAlreadyActive",
       [](CoordinatorHarness& h) {
         (void)h.coordinator->start({"other.com"}, 600);
         writeFile(h.hostsPath, "tampered\n");
         h.failHostsWrite = true;
         (void)h.coordinator->tick();
         h.takeEvents();
       },
       oneDomain, 60, DaemonError::hostsWriteFailed},
      {"a session running",
       [](CoordinatorHarness& h) {
         (void)h.coordinator->start({"other.com"}, 600);
         h.takeEvents();
       },
       oneDomain, 60, DaemonError::sessionAlreadyActive},
      {"a session on disk that memory does not know",
       [](CoordinatorHarness& h) {
         CoordinatorHarness other;
         auto state = other.coordinator->start({"other.com"}, 600).value();
         (void)h.store->save(state);
       },
       oneDomain, 60, DaemonError::sessionAlreadyActive},
      {"an undecodable session file",
       [](CoordinatorHarness& h) { h.writeSessionFile(""); }, oneDomain, 60,
       DaemonError::stateUnreadable},
      {"a managed region already in the hosts file", [&](CoordinatorHarness& h) { writeFile(h.hostsPath, region); },
       oneDomain, 60, DaemonError::sessionAlreadyActive},
      {"the session file cannot be written", [](CoordinatorHarness& h) { h.store->failSave = true; }, oneDomain, 60,
       RootFileError::renameFailed(EROFS)},
      {"the hosts file cannot be written after the save", [](CoordinatorHarness& h) { h.failHostsWrite = true; },
       oneDomain, 60, HostsFileError::renameFailed(EACCES), {"delete"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CoordinatorHarness h;
    if (c.arrange) c.arrange(h);
    const auto sessionBefore = h.coordinator->current();
    const auto rulesBefore = h.coordinator->filterRules();
    const bool fileBefore = h.store->exists();
    const std::string hostsBefore = h.hosts();
    CapturingLogSink logs;

    auto started = h.coordinator->start(c.domains, c.duration);
    ASSERT_FALSE(started);
    EXPECT_EQ(started.error(), c.expected) << describe(started.error());
    EXPECT_EQ(h.coordinator->current(), sessionBefore);
    EXPECT_EQ(h.coordinator->filterRules(), rulesBefore);
    EXPECT_EQ(h.store->exists(), fileBefore);
    EXPECT_EQ(h.hosts(), hostsBefore);
    EXPECT_EQ(h.takeEvents(), c.effects);
    EXPECT_TRUE(logs.messages("session").empty());
  }
}

TEST(CoordinatorStart, HostsFileUnreadableFailsWithThePlatformError) {
  CoordinatorHarness h;
  ASSERT_EQ(::unlink(h.hostsPath.c_str()), 0);
  ASSERT_EQ(::mkdir(h.hostsPath.c_str(), 0755), 0);
  auto started = h.coordinator->start(oneDomain, 60);
  ASSERT_FALSE(started);
  ASSERT_TRUE(std::holds_alternative<SystemError>(started.error()));
  EXPECT_EQ(std::get<SystemError>(started.error()).code, EISDIR);
  EXPECT_FALSE(h.store->exists());
}

TEST(CoordinatorStart, EqualRuleSetsRingOnce) {
  CoordinatorHarness h;
  auto started = h.coordinator->start(oneDomain, 600).value();
  h.takeEvents();
  h.clock->advance(15);
  EXPECT_EQ(h.coordinator->tick().kind, Kind::running);
  EXPECT_EQ(h.coordinator->verify().kind, Kind::running);
  EXPECT_TRUE(h.takeEvents().empty()) << "advancing consumed time leaves the rule set equal";
}

TEST(CoordinatorStart, RefusedWhileTheEndIsBeingCleanedUpAndAcceptedRightAfter) {
  CoordinatorHarness h;
  ASSERT_TRUE(h.coordinator->start(oneDomain, 60));
  h.clock->advance(60);
  std::optional<Result<SessionState>> duringTeardown;
  h.store->beforeRemove = [&] { duringTeardown = h.coordinator->start(oneDomain, 60); };
  EXPECT_EQ(h.coordinator->tick().kind, Kind::ended);
  h.store->beforeRemove = nullptr;
  ASSERT_TRUE(duringTeardown);
  EXPECT_EQ(*duringTeardown, std::unexpected(Error{DaemonError::sessionAlreadyActive}));
  EXPECT_TRUE(h.coordinator->start(oneDomain, 60));
}

TEST(CoordinatorStart, AnUndeletableSessionFileIsLoggedAndBlocksTheNextStart) {
  CoordinatorHarness h;
  ASSERT_TRUE(h.coordinator->start(oneDomain, 60));
  h.clock->advance(61);
  h.store->failRemove = true;
  CapturingLogSink logs;
  EXPECT_EQ(h.coordinator->tick().kind, Kind::ended);
  EXPECT_EQ(logs.count("could not delete session state: unlink " + h.store->real().fileURL() +
                       ": Device or resource busy"),
            1u);
  EXPECT_FALSE(h.coordinator->current());
  EXPECT_FALSE(h.coordinator->isStuck());
  EXPECT_EQ(h.coordinator->start(oneDomain, 60), std::unexpected(Error{DaemonError::sessionAlreadyActive}));
}

}  // namespace
}  // namespace hushwall
