// The fixed names by which the daemon, the app and the network filter find and
// trust each other on this system: bus names, object paths, interfaces, the
// state folder. Stored files, the bus policy and the clients rely on every value.
#pragma once

#include <string_view>

namespace hushwall {

// The daemon's name: its well-known name on the system bus, the folder of its
// state under /var/lib, its log subsystem and the identifier of its identity note.
inline constexpr std::string_view daemonName = "org.hushwall.daemon";

// The service the app calls.
namespace AppService {
inline constexpr std::string_view busName = daemonName;
inline constexpr std::string_view objectPath = "/org/hushwall/daemon";
inline constexpr std::string_view interface = "org.hushwall.Daemon";
inline constexpr std::string_view startSession = "StartSession";
inline constexpr std::string_view saveSchedules = "SaveSchedules";
inline constexpr std::string_view currentSession = "CurrentSession";
inline constexpr std::string_view schedules = "Schedules";
inline constexpr std::string_view healthCheck = "HealthCheck";
}  // namespace AppService

// The service the network filter calls, and the signal that tells it to ask again.
namespace RulesService {
inline constexpr std::string_view busName = "HW7Q3K9P2L.org.hushwall.rules";
inline constexpr std::string_view objectPath = "/org/hushwall/rules";
inline constexpr std::string_view interface = "org.hushwall.FilterRules";
inline constexpr std::string_view currentRules = "CurrentRules";
inline constexpr std::string_view report = "Report";
inline constexpr std::string_view rulesChanged = "RulesChanged";
// The argument every RulesChanged signal carries.
inline constexpr std::string_view rulesChangedNotification = "user.uid.0.org.hushwall.app.filter.rules-changed";
}  // namespace RulesService

namespace CodeSigningRequirement {
inline constexpr std::string_view teamIdentifier = "HW7Q3K9P2L";
inline constexpr std::string_view forApp =
    R"(identifier "org.hushwall.app" and anchor apple generic and certificate leaf[subject.OU] = "HW7Q3K9P2L")";
inline constexpr std::string_view forDaemon =
    R"(identifier "org.hushwall.daemon" and anchor apple generic and certificate leaf[subject.OU] = "HW7Q3K9P2L")";
inline constexpr std::string_view forFilter =
    R"(identifier "org.hushwall.app.filter" and anchor apple generic and certificate leaf[subject.OU] = "HW7Q3K9P2L")";
}  // namespace CodeSigningRequirement

namespace LogSubsystem {
inline constexpr std::string_view daemon = daemonName;
inline constexpr std::string_view filter = "org.hushwall.filter";
}  // namespace LogSubsystem

// The labels of the daemon's queues.
namespace DaemonNames {
inline constexpr std::string_view watcherQueueLabel = "org.hushwall.daemon.watchers";
inline constexpr std::string_view tickerQueueLabel = "org.hushwall.daemon.ticker";
}  // namespace DaemonNames

}  // namespace hushwall
