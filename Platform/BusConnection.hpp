// One sd-bus connection to the system bus (DBUS_SYSTEM_BUS_ADDRESS is honoured
// by libsystemd), run on a serial queue's loop. It serves D-Bus objects whose
// methods carry opaque bytes (`ay`), checking every caller against the
// service's code requirement before any handler runs, and it is the client
// that the command-line tools and the tests share: calls with bytes in and out,
// typed errors, signal subscriptions.
//
// Thread-safety: every member may be called from any thread. sd-bus objects
// belong to the thread that runs their loop, so all work happens on `queue`;
// blocking members post there and wait. Handlers run on `queue`, one at a
// time. The connection must be destroyed before its queue.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "HushwallCore/Error.hpp"
#include "HushwallCore/Log.hpp"
#include "Platform/CodeRequirement.hpp"
#include "Platform/PeerAdmission.hpp"
#include "Platform/SerialQueue.hpp"

namespace hushwall {

inline constexpr std::string_view accessDeniedError = "org.freedesktop.DBus.Error.AccessDenied";

// A D-Bus error reply, or a local failure named the way sd-bus names errno
// values ("System.Error.ECONNREFUSED").
struct BusError {
  std::string name;
  std::string message;

  // The DaemonError this reply stands for, when its name is one.
  [[nodiscard]] std::optional<DaemonError> daemonError() const { return daemonErrorFromDBusName(name); }
  [[nodiscard]] static BusError fromErrno(int negativeErrno, std::string_view operation);

  friend bool operator==(const BusError&, const BusError&) = default;
};

// A method of a served object. The handler gets the admitted caller and the
// `ay` argument (empty when the method takes none); it returns the reply bytes
// (an empty reply is the design's nil data) or a DaemonError, sent as its named
// D-Bus error with its exact message. Handlers must not block for long: the
// connection serves nothing else meanwhile.
struct BusMethod {
  std::string name;
  bool takesBytes = false;   // in signature "ay", else none
  bool returnsBytes = true;  // out signature "ay", else none
  std::function<std::expected<std::string, DaemonError>(const BusCaller&, std::string_view payload)> handler;
};

struct BusService {
  std::string busName;  // the well-known name to own
  std::string objectPath;
  std::string interface;
  std::vector<BusMethod> methods;
  std::vector<std::string> signalNames;  // signals with one `s` argument
  // Checked for the sender of every call before any handler runs. A text that
  // does not parse refuses every caller.
  std::string requirement;
  CodeRequirement::Owner owner = CodeRequirement::Owner::root;
  // Where admissions are logged: "<acceptedLine> pid=%d euid=%u" at the first
  // admitted call of each unique bus name (and again if its process changed
  // and it was admitted afresh), refusals at debug level.
  Logger log;
  std::string acceptedLine = "accepted connection";
};

class BusConnection {
 public:
  class Subscription;
  struct Core;

  // Connects to the system bus and attaches the connection to `queue`.
  [[nodiscard]] static std::expected<std::unique_ptr<BusConnection>, BusError> openSystem(SerialQueue& queue);
  ~BusConnection();
  BusConnection(const BusConnection&) = delete;
  BusConnection& operator=(const BusConnection&) = delete;

  // This connection's unique name (":1.42").
  [[nodiscard]] std::string uniqueName() const;

  // How many unique names are admitted from memory across the served objects.
  [[nodiscard]] std::size_t admittedNames() const;

  // Publishes the object, then owns the well-known name. `admission` is a seam
  // for tests; the default asks the bus and /proc.
  [[nodiscard]] std::expected<void, BusError> serve(BusService service, PeerAdmission admission = {});

  // Calls a method and waits for the reply: its first argument's bytes (`ay` or
  // `s`), or "" when it has none. `payload` absent sends no argument. Without
  // `activate`, a destination that is not running is not started for the call.
  [[nodiscard]] std::expected<std::string, BusError> call(const std::string& destination, const std::string& path,
                                                          const std::string& interface, const std::string& member,
                                                          std::optional<std::string_view> payload = std::nullopt,
                                                          std::chrono::milliseconds timeout = std::chrono::seconds(25),
                                                          bool activate = true);

  // Calls `handler` on the queue with the first `s` argument of each matching
  // signal until the subscription is destroyed. Returns once the bus has the match.
  [[nodiscard]] std::expected<Subscription, BusError> subscribe(const std::string& sender, const std::string& path,
                                                                const std::string& interface, const std::string& member,
                                                                std::function<void(std::string_view)> handler);

  // Emits a signal with one `s` argument: at once when called on the queue,
  // else posted there. `done`, if given, then runs there with the status: 0 on
  // success, else the errno.
  void emitSignal(std::string path, std::string interface, std::string member, std::string argument,
                  std::function<void(int status)> done = {});

  [[nodiscard]] SerialQueue& queue() const { return queue_; }

 private:
  BusConnection(SerialQueue& queue, std::shared_ptr<Core> core) : queue_(queue), core_(std::move(core)) {}

  SerialQueue& queue_;
  std::shared_ptr<Core> core_;
};

// A signal match; destroying it removes the match. May outlive the connection.
class BusConnection::Subscription {
 public:
  Subscription(Subscription&&) noexcept = default;
  Subscription& operator=(Subscription&&) noexcept = default;
  ~Subscription();

 private:
  friend class BusConnection;
  Subscription(std::weak_ptr<Core> core, std::uint64_t id) : core_(std::move(core)), id_(id) {}
  std::weak_ptr<Core> core_;
  std::uint64_t id_ = 0;
};

}  // namespace hushwall
