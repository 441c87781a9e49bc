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
    {DaemonError::sessionAlreadyActive, 1, "sessionAlreadyActive", "A session is already running. It cannot be ended early."},
    {DaemonError::durationOutOfRange, 2, "durationOutOfRange", "Duration must be between 1 minute and 24 hours."},
    {DaemonError::invalidDomain, 3, "invalidDomain", "One or more domains are not valid hostnames."},
    {DaemonError::tooManyDomains, 4, "tooManyDomains", "Too many sites to block at once \xE2\x80\x94 the limit is 500."},
    {DaemonError::stateUnreadable, 6, "stateUnreadable", "The session state file could not be read."},
    {DaemonError::hostsWriteFailed, 7, "hostsWriteFailed", "The hosts file could not be updated."},
    {DaemonError::removalUnverified, 8, "removalUnverified", "The block could not be confirmed removed."},
    {DaemonError::invalidSchedule, 9, "invalidSchedule", "That schedule could not be saved."},
};

TEST(DaemonError, CodesNamesAndMessagesAreTheWireValues) {
  for (const auto& c : errorTable) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(errorCode(c.error), c.code);
    EXPECT_EQ(daemonErrorFromCode(c.code), c.error);
    EXPECT_EQ(caseName(c.error), c.name);
    EXPECT_EQ(message(c.error), c.message);
    EXPECT_EQ(describe(Error{c.error}), c.message);
    EXPECT_EQ(dbusErrorName(c.error), "org.hushwall.daemon.error." + std::string(c.name));
    EXPECT_EQ(daemonErrorFromDBusName(dbusErrorName(c.error)), c.error);
  }
}

TEST(DaemonError, CodesOutsideTheTableConstructNothing) {
  for (std::int64_t code : {0LL, 5LL, 10LL, -1LL, -7LL, 1LL << 40}) {
    SCOPED_TRACE(code);
    EXPECT_FALSE(daemonErrorFromCode(code));
  }
  for (const char* name : {"", "org.hushwall.daemon.error", "org.hushwall.daemon.error.", "org.hushwall.daemon.errorX.invalidDomain",
                           "org.hushwall.daemon.error.nope", "org.freedesktop.DBus.Error.AccessDenied"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(daemonErrorFromDBusName(name));
  }
}

TEST(Error, OtherErrorsDescribeTheFailedOperation) {
  auto system = SystemError::fromErrno(ENOENT, "open", "/etc/hosts");
  EXPECT_TRUE(system.isNoSuchFile());
  EXPECT_EQ(describe(Error{system}), "open /etc/hosts: No such file or directory");
  EXPECT_FALSE(asDaemonError(Error{system}));
  EXPECT_EQ(asDaemonError(Error{DaemonError::invalidDomain}), DaemonError::invalidDomain);
  EXPECT_EQ(describe(Error{RootFileError::cannotOpenTemporaryFile("/x/.t.tmp")}),
            "could not create the temporary file /x/.t.tmp");
  EXPECT_EQ(describe(Error{HostsFileError::renameFailed(EISDIR)}),
            "could not rename the temporary file into place: Is a directory");
  EXPECT_NE(Error{RootFileError::renameFailed(EISDIR)}, Error{HostsFileError::renameFailed(EISDIR)});
}

}  // namespace
}  // namespace hushwall
