// The handover to a replaced executable: a copy of the daemon run from a
// temporary path, its file then replaced.
#include <sys/wait.h>

#include <filesystem>

#include "E2ETest.hpp"
#include "HushwallCore/SessionState.hpp"
#include "HushwallCore/Strings.hpp"
#include "support/TemporaryDirectory.hpp"

namespace hushwall::testing {
namespace {

namespace fs = std::filesystem;

class HandoverE2E : public E2ETest {
 protected:
  bool startsAtOnce() const override { return false; }

  void SetUp() override {
    E2ETest::SetUp();
    fs::copy_file(daemon.executable(), installed);
    int before = client->doorbells();
    ASSERT_TRUE(daemon.start(installed));
    ASSERT_TRUE(waitUntil([&] { return client->doorbells() > before; }, 2s));
  }

  // Puts `file` at the installed path the way an update does: a rename over it.
  void replaceWith(const std::string& file) {
    std::string next = directory.file(".next");
    fs::copy_file(file, next);
    fs::rename(next, installed);
  }

  TemporaryDirectory directory;
  const std::string installed = directory.file("hushwalld");
};

TEST_F(HandoverE2E, HandsOverMidSessionToAStampedReplacementThatResumesTheSession) {
  auto reply = client->call("StartSession", startRequest(600));
  ASSERT_TRUE(reply);
  auto session = SessionState::decode(*reply);
  ASSERT_TRUE(session);
  replaceWith(daemon.executable());

  // The first tick at least 5 s after the last request hands over.
  auto status = daemon.waitForExit(40s);
  ASSERT_TRUE(status) << daemon.log();
  EXPECT_TRUE(WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 0);
  std::string log = daemon.log();
  EXPECT_EQ(daemon.logCount(cat("another daemon is at ", installed, " and satisfies our requirement")), 1) << log;
  EXPECT_EQ(daemon.logCount("this daemon still meets the requirement its clients pin — it waits for a quiet moment "
                            "before handing over"),
            1);
  EXPECT_EQ(daemon.logCount("another daemon is at our path — handing over mid-session; systemd starts it at once, "
                            "since session.json exists, and its launch reconcile resumes the session"),
            1)
      << log;
  EXPECT_EQ(daemon.logCount("handing over without waiting"), 0);
  EXPECT_TRUE(fs::exists(daemon.sessionPath()));

  // What the service manager does next: start the file now at the path.
  ASSERT_TRUE(daemon.start(installed));
  EXPECT_TRUE(daemon.waitForLog(cat("launch: session ", session->id.string(), " resumed, "), 2s)) << daemon.log();
  auto resumed = client->call("CurrentSession");
  ASSERT_TRUE(resumed);
  EXPECT_EQ(SessionState::decode(*resumed).value_or(SessionState{}).id, session->id);
}

TEST_F(HandoverE2E, StaysOnAnUnstampedReplacementAndSaysSoOnce) {
  replaceWith("/usr/bin/true");
  ASSERT_TRUE(daemon.waitForLog("staying up: session=false", 45s, 2)) << daemon.log();
  EXPECT_TRUE(daemon.isRunning());
  EXPECT_EQ(daemon.logCount(cat("the file at ", installed,
                                " is not this daemon and does not satisfy our requirement (no identity: ")),
            1)
      << daemon.log();
  EXPECT_EQ(daemon.logCount("handing over"), 0);
}

}  // namespace
}  // namespace hushwall::testing
