// The fixture of every end-to-end test: a fresh sandbox, a client on the
// private bus, and the daemon started and settled (its launch doorbell heard).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <regex>
#include <string>

#include "DaemonClient.hpp"
#include "SandboxDaemon.hpp"

namespace hushwall::testing {

// The largest sinceLastRequest of the daemon's staying-up lines that say schedules=`schedules`.
inline long longestStayingUp(const std::string& log, bool schedules) {
  std::regex line(std::string("staying up: session=false stuck=false schedules=") + (schedules ? "true" : "false") +
                  " sinceLastRequest=([0-9]+)s");
  long longest = -1;
  for (std::sregex_iterator it(log.begin(), log.end(), line), end; it != end; ++it) {
    longest = std::max(longest, std::stol((*it)[1]));
  }
  return longest;
}

class E2ETest : public ::testing::Test {
 protected:
  // Tests that need the sandbox prepared differently do it, then call startDaemon().
  virtual bool startsAtOnce() const { return true; }

  void SetUp() override {
    client = std::make_unique<DaemonClient>();
    if (startsAtOnce()) startDaemon();
  }

  void startDaemon() {
    int before = client->doorbells();
    ASSERT_TRUE(daemon.start());
    // The launch rings the filter once; later counts start from here.
    ASSERT_TRUE(waitUntil([&] { return client->doorbells() > before; }, 2s));
  }

  // A start request of `duration` seconds for the given domains.
  static std::string startRequest(double duration, const std::string& domainsJson = R"(["example.com"])") {
    return R"({"domains":)" + domainsJson + R"(,"duration":)" + std::to_string(duration) + "}";
  }

  SandboxDaemon daemon{HUSHWALL_E2E_DAEMON, HUSHWALL_E2E_ROOT};  // first: it starts the private bus
  std::unique_ptr<DaemonClient> client;
};

}  // namespace hushwall::testing
