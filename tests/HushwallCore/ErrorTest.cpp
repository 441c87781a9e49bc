#include "HushwallCore/Error.hpp"

#include <gtest/gtest.h>

namespace hushwall {
namespace {

// A client reads the daemon's refusals back from their bus error names; anything else is no daemon error.
TEST(DaemonError, BusNamesReadBackAsTheirErrorAndNothingElseDoes) {
  for (int code = 1; code <= 9; ++code) {
    auto error = static_cast<DaemonError>(code);
    if (caseName(error) == "unknown") continue;  // 5 is unused
    EXPECT_EQ(daemonErrorFromDBusName(dbusErrorName(error)), error) << dbusErrorName(error);
  }
  EXPECT_EQ(dbusErrorName(DaemonError::invalidDomain), "org.hushwall.daemon.error.invalidDomain");
  for (std::string_view other :
       {"org.hushwall.daemon.error", "org.hushwall.daemon.error.", "org.hushwall.daemon.errors.invalidDomain",
        "org.hushwall.daemon.error.InvalidDomain", "org.freedesktop.DBus.Error.Failed"}) {
    EXPECT_EQ(daemonErrorFromDBusName(other), std::nullopt) << other;
  }
}

}  // namespace
}  // namespace hushwall
