// The fixed names by which the daemon, the app and the network filter find and
// trust each other. Every value is formed from two base values, the product
// prefix and the signing team identifier; tests pin the derivations.
#pragma once

#include <string_view>

namespace hushwall {

inline constexpr std::string_view productPrefix = "org.hushwall";

namespace AppIdentity {
inline constexpr std::string_view bundleID = "org.hushwall.app";
}

namespace DaemonIdentity {
inline constexpr std::string_view bundleID = "org.hushwall.daemon";
inline constexpr std::string_view plistName = "org.hushwall.daemon.plist";
}  // namespace DaemonIdentity

// The service on which the daemon serves the app: its D-Bus well-known name.
inline constexpr std::string_view hushwallMachServiceName = DaemonIdentity::bundleID;

namespace FilterIdentity {
inline constexpr std::string_view bundleID = "org.hushwall.app.filter";
inline constexpr std::string_view appGroup = "HW7Q3K9P2L.org.hushwall";
inline constexpr std::string_view rulesMachServiceName = "HW7Q3K9P2L.org.hushwall.rules";
inline constexpr std::string_view rulesChangedNotification =
    "user.uid.0.org.hushwall.app.filter.rules-changed";
}  // namespace FilterIdentity

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
inline constexpr std::string_view daemon = DaemonIdentity::bundleID;
inline constexpr std::string_view filter = "org.hushwall.filter";
}  // namespace LogSubsystem

// Identifiers the daemon forms from its bundle identifier.
namespace DaemonNames {
inline constexpr std::string_view watcherQueueLabel = "org.hushwall.daemon.watchers";
inline constexpr std::string_view tickerQueueLabel = "org.hushwall.daemon.ticker";
}  // namespace DaemonNames

}  // namespace hushwall
