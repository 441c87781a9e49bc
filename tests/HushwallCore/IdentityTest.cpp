#include "HushwallCore/Identity.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "HushwallCore/Error.hpp"

namespace hushwall {
namespace {

std::string requirementFor(std::string_view identifier) {
  return std::string("identifier \"") + std::string(identifier) +
         "\" and anchor apple generic and certificate leaf[subject.OU] = \"" +
         std::string(CodeSigningRequirement::teamIdentifier) + "\"";
}

TEST(Identity, EveryNameIsFormedFromTheTwoBaseValues) {
  const std::string prefix(productPrefix);
  const std::string team(CodeSigningRequirement::teamIdentifier);
  EXPECT_EQ(AppIdentity::bundleID, prefix + ".app");
  EXPECT_EQ(DaemonIdentity::bundleID, prefix + ".daemon");
  EXPECT_EQ(DaemonIdentity::plistName, prefix + ".daemon.plist");
  EXPECT_EQ(hushwallMachServiceName, DaemonIdentity::bundleID);
  EXPECT_EQ(LogSubsystem::daemon, DaemonIdentity::bundleID);
  EXPECT_EQ(LogSubsystem::filter, prefix + ".filter");
  EXPECT_EQ(FilterIdentity::bundleID, std::string(AppIdentity::bundleID) + ".filter");
  EXPECT_EQ(FilterIdentity::appGroup, team + "." + prefix);
  EXPECT_EQ(FilterIdentity::rulesMachServiceName, team + "." + prefix + ".rules");
  EXPECT_EQ(FilterIdentity::rulesChangedNotification,
            "user.uid.0." + std::string(FilterIdentity::bundleID) + ".rules-changed");
  EXPECT_EQ(DaemonNames::watcherQueueLabel, std::string(DaemonIdentity::bundleID) + ".watchers");
  EXPECT_EQ(DaemonNames::tickerQueueLabel, std::string(DaemonIdentity::bundleID) + ".ticker");
  EXPECT_EQ(DaemonNames::errorDomain, std::string(DaemonIdentity::bundleID) + ".error");
  EXPECT_EQ(daemonErrorDomain, DaemonNames::errorDomain);
}

TEST(Identity, TeamIdentifierIsTenUpperCaseLettersOrDigits) {
  auto team = CodeSigningRequirement::teamIdentifier;
  ASSERT_EQ(team.size(), 10u);
  EXPECT_TRUE(std::all_of(team.begin(), team.end(), [](char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }));
}

TEST(Identity, RequirementTextsNameTheirProgramAndTeam) {
  struct Case {
    std::string_view requirement;
    std::string_view identifier;
  };
  for (const auto& c : {Case{CodeSigningRequirement::forApp, AppIdentity::bundleID},
                        Case{CodeSigningRequirement::forDaemon, DaemonIdentity::bundleID},
                        Case{CodeSigningRequirement::forFilter, FilterIdentity::bundleID}}) {
    SCOPED_TRACE(c.identifier);
    EXPECT_EQ(c.requirement, requirementFor(c.identifier));
    EXPECT_EQ(std::count(c.requirement.begin(), c.requirement.end(), '"'), 4);
  }
}

}  // namespace
}  // namespace hushwall
