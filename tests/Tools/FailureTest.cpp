#include "Tools/Client/Failure.hpp"

#include <gtest/gtest.h>

namespace hushwall {
namespace {

TEST(FailureTest, DaemonErrorsShowTheirMessageAndOthersSayWhatToDo) {
  const struct {
    BusError error;
    ExitCode code;
    std::string message;
  } cases[] = {
      {{dbusErrorName(DaemonError::sessionAlreadyActive), "whatever the bus carried"},
       ExitCode::refused,
       message(DaemonError::sessionAlreadyActive)},
      {{dbusErrorName(DaemonError::invalidSchedule), ""}, ExitCode::refused, message(DaemonError::invalidSchedule)},
      {{"org.freedesktop.DBus.Error.AccessDenied", "no"}, ExitCode::refused, "the daemon refused this program: no"},
      {{"org.freedesktop.DBus.Error.ServiceUnknown", "The name is not activatable"},
       ExitCode::unavailable,
       "the daemon is not running: The name is not activatable"},
      {{"org.freedesktop.DBus.Error.NoReply", "late"}, ExitCode::unavailable, "cannot reach the daemon: late"},
      {{"System.Error.ECONNREFUSED", "refused"}, ExitCode::unavailable, "cannot reach the daemon: refused"},
      {{"org.hushwall.daemon.error.noSuchCase", "odd"}, ExitCode::refused, "org.hushwall.daemon.error.noSuchCase: odd"},
      {{"org.freedesktop.DBus.Error.Failed", "internal error"},
       ExitCode::refused,
       "org.freedesktop.DBus.Error.Failed: internal error"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error.name);
    EXPECT_EQ(Failure::fromBus(c.error), (Failure{c.code, c.message}));
  }
}

}  // namespace
}  // namespace hushwall
