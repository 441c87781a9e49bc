#include "HushwallCore/Error.hpp"

#include <gtest/gtest.h>

#include <cerrno>

namespace hushwall {
namespace {

struct ErrorCase {
  DaemonError error;
  int code;
  std::string_view name;
  std::string_view message;
};

constexpr ErrorCase errorTable[] = {
    {DaemonError::sessionAlreadyActive, 1, "sessionAlreadyActive",
     "A session is already running. It cannot be ended early."},
    {DaemonError::durationOutOfRange, 2, "durationOutOfRange", "Duration must be between 1 minute and 24 hours."},
    {DaemonError::invalidDomain, 3, "invalidDomain", "One or more domains are not valid hostnames."},
    {DaemonError::tooManyDomains, 4, "tooManyDomains",
     "Too many sites to block at once \xE2\x80\x94 the limit is 500."},
    {DaemonError::stateUnreadable, 6, "stateUnreadable", "The session state file could not be read."},
    {DaemonError::hostsWriteFailed, 7, "hostsWriteFailed", "The hosts file could not be updated."},
    {DaemonError::removalUnverified, 8, "removalUnverified", "The block could not be confirmed removed."},
    {DaemonError::invalidSchedule, 9, "invalidSchedule", "That schedule could not be saved."},
};

TEST(DaemonError, CodesNamesAndMessagesAreTheWireValues) {
  for (const auto& c : errorTable) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(errorCode(c.error), c.code);
    EXPECT_EQ(caseName(c.error), c.name);
    EXPECT_EQ(message(c.error), c.message);
    EXPECT_EQ(describe(Error{c.error}), c.message);
    EXPECT_EQ(dbusErrorName(c.error), "org.hushwall.daemon.error." + std::string(c.name));
    EXPECT_EQ(daemonErrorFromDBusName(dbusErrorName(c.error)), c.error);
  }
}

}  // namespace
}  // namespace hushwall
