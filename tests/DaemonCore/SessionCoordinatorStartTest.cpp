#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <filesystem>
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
using testing::writeFile;
using Events = std::vector<std::string>;

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
  EXPECT_EQ(h.takeEvents(), (Events{"ring", "flush"}));
  EXPECT_EQ(h.coordinator->filterRules(), FilterRuleSet(*started, false));
  EXPECT_EQ(logs.messages("session"), Events{"session " + started->id.string() + " started, 90s"});

  // Ticks that only advance the consumed time leave the rule set equal: no ring.
  h.clock->advance(15);
  EXPECT_EQ(h.coordinator->tick().kind, Kind::running);
  EXPECT_EQ(h.coordinator->verify().kind, Kind::running);
  EXPECT_TRUE(h.takeEvents().empty());

  CoordinatorHarness noHosts;
  ASSERT_EQ(::unlink(noHosts.hostsPath.c_str()), 0);
  auto created = noHosts.coordinator->start(oneDomain, 600);
  ASSERT_TRUE(created) << describe(created.error());
  EXPECT_EQ(noHosts.hosts(), HostsDocument::renderBlock({"example.com"}, created->id));
  EXPECT_EQ(testing::fileMode(noHosts.hostsPath), 0644);
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
    std::function<Error(const CoordinatorHarness&)> expected;
    Events effects = {};  // a failed start rings and flushes nothing
  };
  auto is = [](Error error) { return [error](const CoordinatorHarness&) { return error; }; };
  const Case cases[] = {
      {"duration below a minute, also with bad domains", {}, {"bad domain"}, 59, is(DaemonError::durationOutOfRange)},
      {"duration not a number", {}, oneDomain, std::nan(""), is(DaemonError::durationOutOfRange)},
      {"an invalid domain", {}, {"ok.com", "not ok"}, 60, is(DaemonError::invalidDomain)},
      {"too many domains", {}, std::vector<std::string>(501, "a.com"), 60, is(DaemonError::tooManyDomains)},
      {"stuck on an unreadable session file",
       [](CoordinatorHarness& h) {
         h.writeSessionFile("{garbled");
         (void)h.coordinator->reconcileOnLaunch();
         h.takeEvents();
       },
       oneDomain, 60, is(DaemonError::stateUnreadable)},
      {"stuck while a session runs: the stuck error comes before sessionAlreadyActive",
       [](CoordinatorHarness& h) {
         (void)h.coordinator->start({"other.com"}, 600);
         writeFile(h.hostsPath, "tampered\n");
         h.failHostsWrite = true;
         (void)h.coordinator->tick();
         h.takeEvents();
       },
       oneDomain, 60, [](const CoordinatorHarness& h) { return WriterError::renameFailed(h.hostsPath, EACCES); }},
      {"a session running",
       [](CoordinatorHarness& h) {
         (void)h.coordinator->start({"other.com"}, 600);
         h.takeEvents();
       },
       oneDomain, 60, is(DaemonError::sessionAlreadyActive)},
      {"a session on disk that memory does not know",
       [](CoordinatorHarness& h) {
         CoordinatorHarness other;
         (void)h.store->save(other.coordinator->start({"other.com"}, 600).value());
       },
       oneDomain, 60, is(DaemonError::sessionAlreadyActive)},
      {"an undecodable session file", [](CoordinatorHarness& h) { h.writeSessionFile(""); }, oneDomain, 60,
       is(DaemonError::stateUnreadable)},
      {"a managed region already in the hosts file",
       [](CoordinatorHarness& h) { writeFile(h.hostsPath, "# BEGIN HUSHWALL 0\n127.0.0.1\tx.com\n# END HUSHWALL\n"); },
       oneDomain, 60, is(DaemonError::sessionAlreadyActive)},
      {"the hosts file cannot be read",
       [](CoordinatorHarness& h) {
         ASSERT_EQ(::unlink(h.hostsPath.c_str()), 0);
         ASSERT_EQ(::mkdir(h.hostsPath.c_str(), 0755), 0);
       },
       oneDomain, 60, [](const CoordinatorHarness& h) { return SystemError::fromErrno(EISDIR, "read", h.hostsPath); }},
      {"the session file cannot be written", [](CoordinatorHarness& h) { h.store->failSave = true; }, oneDomain, 60,
       [](const CoordinatorHarness& h) { return WriterError::renameFailed(h.store->real().path(), EROFS); }},
      {"the hosts file cannot be written after the save",
       [](CoordinatorHarness& h) { h.failHostsWrite = true; },
       oneDomain,
       60,
       [](const CoordinatorHarness& h) { return WriterError::renameFailed(h.hostsPath, EACCES); },
       {"delete"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CoordinatorHarness h;
    if (c.arrange) c.arrange(h);
    const auto sessionBefore = h.coordinator->current();
    const auto rulesBefore = h.coordinator->filterRules();
    const bool fileBefore = h.store->exists();
    const bool hostsIsFile = std::filesystem::is_regular_file(h.hostsPath);
    const std::string hostsBefore = hostsIsFile ? h.hosts() : "";
    CapturingLogSink logs;

    auto started = h.coordinator->start(c.domains, c.duration);
    ASSERT_FALSE(started);
    EXPECT_EQ(started.error(), c.expected(h)) << describe(started.error());
    EXPECT_EQ(h.coordinator->current(), sessionBefore);
    EXPECT_EQ(h.coordinator->filterRules(), rulesBefore);
    EXPECT_EQ(h.store->exists(), fileBefore);
    if (hostsIsFile) {
      EXPECT_EQ(h.hosts(), hostsBefore);
    }
    EXPECT_EQ(h.takeEvents(), c.effects);
    EXPECT_TRUE(logs.messages("session").empty());
  }
}

// The end's clean-up (deleting the session file) runs after the lock is
// released; until it is done, and while the file cannot be deleted, a start
// is refused.
TEST(CoordinatorStart, RefusedUntilTheEndIsCleanedUp) {
  CoordinatorHarness h;
  ASSERT_TRUE(h.coordinator->start(oneDomain, 60));
  h.clock->advance(60);
  std::optional<Result<SessionState>> duringTeardown;
  h.store->beforeRemove = [&] { duringTeardown = h.coordinator->start(oneDomain, 60); };
  EXPECT_EQ(h.coordinator->tick().kind, Kind::ended);
  h.store->beforeRemove = nullptr;
  ASSERT_TRUE(duringTeardown);
  EXPECT_EQ(*duringTeardown, std::unexpected(Error{DaemonError::sessionAlreadyActive}));
  ASSERT_TRUE(h.coordinator->start(oneDomain, 60));

  h.clock->advance(61);
  h.store->failRemove = true;
  CapturingLogSink logs;
  EXPECT_EQ(h.coordinator->tick().kind, Kind::ended);
  EXPECT_EQ(
      logs.count("could not delete session state: unlink " + h.store->real().path() + ": Device or resource busy"), 1u);
  EXPECT_FALSE(h.coordinator->isStuck());
  EXPECT_EQ(h.coordinator->start(oneDomain, 60), std::unexpected(Error{DaemonError::sessionAlreadyActive}));
}

}  // namespace
}  // namespace hushwall
