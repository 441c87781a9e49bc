#include "Platform/BusConnection.hpp"

#include <systemd/sd-bus.h>

#include <algorithm>
#include <cstring>
#include <future>
#include <unordered_map>

#include "HushwallCore/Strings.hpp"
#include "Platform/AdmissionCache.hpp"

namespace hushwall {
namespace {

using Reply = std::expected<std::string, BusError>;

BusError fromSdBusError(const sd_bus_error& error, int negativeErrno, std::string_view operation) {
  if (sd_bus_error_is_set(&error)) return BusError{error.name, error.message ? error.message : ""};
  return BusError::fromErrno(negativeErrno, operation);
}

// The first argument's bytes: `ay` or `s`; "" when the message has none.
Reply readFirstArgument(sd_bus_message* message) {
  char type = 0;
  const char* contents = nullptr;
  int r = sd_bus_message_peek_type(message, &type, &contents);
  if (r < 0) return std::unexpected(BusError::fromErrno(r, "read the reply"));
  if (r == 0) return std::string();
  if (type == SD_BUS_TYPE_ARRAY && contents != nullptr && std::strcmp(contents, "y") == 0) {
    const void* data = nullptr;
    std::size_t size = 0;
    if ((r = sd_bus_message_read_array(message, 'y', &data, &size)) < 0)
      return std::unexpected(BusError::fromErrno(r, "read bytes"));
    return std::string(static_cast<const char*>(data), size);
  }
  if (type == SD_BUS_TYPE_STRING) {
    const char* text = nullptr;
    if ((r = sd_bus_message_read_basic(message, 's', &text)) < 0)
      return std::unexpected(BusError::fromErrno(r, "read a string"));
    return std::string(text);
  }
  return std::unexpected(
      BusError{"org.freedesktop.DBus.Error.InvalidSignature", "the reply is neither bytes nor a string"});
}

std::expected<sd_bus_message*, BusError> newCall(sd_bus* bus, const std::string& destination, const std::string& path,
                                                 const std::string& interface, const std::string& member,
                                                 std::optional<std::string_view> payload, bool activate) {
  sd_bus_message* message = nullptr;
  int r = sd_bus_message_new_method_call(bus, &message, destination.c_str(), path.c_str(), interface.c_str(),
                                         member.c_str());
  if (r >= 0 && payload) r = sd_bus_message_append_array(message, 'y', payload->data(), payload->size());
  if (r >= 0 && !activate) r = sd_bus_message_set_auto_start(message, 0);
  if (r < 0) {
    sd_bus_message_unref(message);
    return std::unexpected(BusError::fromErrno(r, cat("call ", member)));
  }
  return message;
}

std::uint64_t micros(std::chrono::milliseconds timeout) { return static_cast<std::uint64_t>(timeout.count()) * 1000u; }

// One outstanding asynchronous call; the slot's destroy callback frees it and
// answers a call the connection dropped unanswered.
struct PendingCall {
  std::promise<Reply> promise;
  bool settled = false;

  void settle(Reply reply) {
    if (settled) return;
    settled = true;
    promise.set_value(std::move(reply));
  }
};

int onReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto& pending = **static_cast<std::shared_ptr<PendingCall>*>(userdata);
  if (const sd_bus_error* error = sd_bus_message_get_error(reply)) {
    pending.settle(std::unexpected(BusError{error->name, error->message ? error->message : ""}));
  } else {
    pending.settle(readFirstArgument(reply));
  }
  return 0;
}

void onCallDestroyed(void* userdata) {
  auto* pending = static_cast<std::shared_ptr<PendingCall>*>(userdata);
  (*pending)->settle(std::unexpected(BusError{"org.freedesktop.DBus.Error.Disconnected", "the connection closed"}));
  delete pending;
}

using SignalHandler = std::function<void(std::string_view)>;

int onSignal(sd_bus_message* message, void* userdata, sd_bus_error*) {
  const char* argument = nullptr;
  if (sd_bus_message_read_basic(message, 's', &argument) <= 0) argument = "";
  (*static_cast<SignalHandler*>(userdata))(argument);
  return 0;
}

void deleteSignalHandler(void* userdata) { delete static_cast<SignalHandler*>(userdata); }

constexpr std::string_view noDeparturesLine = "cannot follow departing callers, whose admissions now only age out: ";

// A served object and everything its method callback needs. Queue only.
struct Served {
  Served(BusService s, PeerAdmission a)
      : service(std::move(s)),
        requirement(CodeRequirement::parse(service.requirement, service.owner)),
        admission(std::move(a)) {}

  BusService service;
  std::expected<CodeRequirement, Refusal> requirement;
  PeerAdmission admission;
  AdmissionCache admissions;
  std::vector<sd_bus_vtable> vtable;
  sd_bus_slot* slot = nullptr;

  const BusMethod* method(const char* member) const {
    for (const auto& candidate : service.methods) {
      if (member != nullptr && candidate.name == member) return &candidate;
    }
    return nullptr;
  }

  static int onMethod(sd_bus_message* call, void* userdata, sd_bus_error*) {
    auto* served = static_cast<Served*>(userdata);
    const BusMethod* method = served->method(sd_bus_message_get_member(call));
    if (method == nullptr) return sd_bus_reply_method_errorf(call, SD_BUS_ERROR_UNKNOWN_METHOD, "no such method");

    bool examined = false;
    auto caller = served->admission.admit(served->requirement, call, served->admissions, &examined);
    if (!caller) {
      served->service.log.debug(cat("refused a caller of ", method->name, ": ", reasonName(caller.error().reason), ": ",
                                    caller.error().detail));
      return sd_bus_reply_method_errorf(call, SD_BUS_ERROR_ACCESS_DENIED, "%s",
                                        "the caller does not satisfy the service's code requirement");
    }
    if (examined) {
      served->service.log.notice(cat(served->service.acceptedLine, " pid=", static_cast<int>(caller->pid),
                                     " euid=", static_cast<std::uint32_t>(caller->euid)));
    }

    std::string_view payload;
    if (method->takesBytes) {
      const void* data = nullptr;
      std::size_t size = 0;
      int r = sd_bus_message_read_array(call, 'y', &data, &size);
      if (r < 0) return r;
      payload = std::string_view(static_cast<const char*>(data), size);
    }
    std::expected<std::string, DaemonError> result;
    try {
      result = method->handler(*caller, payload);
    } catch (const std::exception& failure) {
      // An exception must not unwind through sd-bus's C frames.
      served->service.log.fault(cat(method->name, " failed: ", failure.what()));
      return sd_bus_reply_method_errorf(call, SD_BUS_ERROR_FAILED, "%s", "internal error");
    }
    if (!result) {
      sd_bus_error error = SD_BUS_ERROR_NULL;
      std::string name = dbusErrorName(result.error());
      sd_bus_error_set(&error, name.c_str(), message(result.error()).c_str());
      int r = sd_bus_reply_method_error(call, &error);
      sd_bus_error_free(&error);
      return r;
    }
    if (!method->returnsBytes) return sd_bus_reply_method_return(call, "");
    sd_bus_message* reply = nullptr;
    int r = sd_bus_message_new_method_return(call, &reply);
    if (r >= 0) r = sd_bus_message_append_array(reply, 'y', result->data(), result->size());
    if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return r;
  }
};

}  // namespace

BusError BusError::fromErrno(int negativeErrno, std::string_view operation) {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_error_set_errno(&error, negativeErrno);
  BusError result{error.name ? error.name : "System.Error", cat(operation, ": ", error.message ? error.message : "")};
  sd_bus_error_free(&error);
  return result;
}

struct BusConnection::Core {
  explicit Core(SerialQueue& q) : queue(q) {}

  SerialQueue& queue;
  sd_bus* bus = nullptr;                                    // queue only
  std::vector<std::unique_ptr<Served>> services;            // queue only
  std::unordered_map<std::uint64_t, sd_bus_slot*> matches;  // queue only
  std::uint64_t nextMatch = 1;                              // queue only
  sd_bus_slot* departures = nullptr;                        // queue only; set while serving

  // Forgets the admissions of a unique name once its connection has left the bus.
  static int onNameOwnerChanged(sd_bus_message* message, void* userdata, sd_bus_error*) {
    const char* name = nullptr;
    const char* oldOwner = nullptr;
    const char* newOwner = nullptr;
    if (sd_bus_message_read(message, "sss", &name, &oldOwner, &newOwner) < 0 || name[0] != ':' || newOwner[0] != '\0') {
      return 0;
    }
    for (auto& served : static_cast<Core*>(userdata)->services) served->admissions.erase(name);
    return 0;
  }

  // Without the match, admissions only age out of their caches: no reason to
  // drop the connection, as sd-bus would by default.
  static int onDeparturesInstalled(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    auto* core = static_cast<Core*>(userdata);
    if (const sd_bus_error* error = sd_bus_message_get_error(reply); error != nullptr && !core->services.empty()) {
      core->services.front()->service.log.error(cat(noDeparturesLine, error->message ? error->message : error->name));
    }
    return 0;
  }

  void close() {
    departures = sd_bus_slot_unref(departures);
    for (auto& [id, slot] : matches) sd_bus_slot_unref(slot);
    matches.clear();
    for (auto& served : services) sd_bus_slot_unref(served->slot);
    services.clear();
    bus = sd_bus_flush_close_unref(bus);
  }
};

std::expected<std::unique_ptr<BusConnection>, BusError> BusConnection::openSystem(SerialQueue& queue) {
  auto core = std::make_shared<Core>(queue);
  int r = 0;
  queue.sync([&] {
    r = sd_bus_open_system(&core->bus);
    if (r >= 0) r = sd_bus_attach_event(core->bus, queue.event(), 0);
    if (r < 0) core->bus = sd_bus_flush_close_unref(core->bus);
  });
  if (r < 0) return std::unexpected(BusError::fromErrno(r, "connect to the system bus"));
  return std::unique_ptr<BusConnection>(new BusConnection(queue, std::move(core)));
}

BusConnection::~BusConnection() {
  queue_.sync([core = core_] { core->close(); });
}

std::size_t BusConnection::admittedNames() const {
  std::size_t count = 0;
  queue_.sync([&] {
    for (const auto& served : core_->services) count += served->admissions.size();
  });
  return count;
}

std::string BusConnection::uniqueName() const {
  std::string name;
  queue_.sync([&] {
    const char* unique = nullptr;
    if (sd_bus_get_unique_name(core_->bus, &unique) >= 0) name = unique;
  });
  return name;
}

std::expected<void, BusError> BusConnection::serve(BusService service, PeerAdmission admission) {
  std::expected<void, BusError> outcome;
  queue_.sync([&] {
    auto served = std::make_unique<Served>(std::move(service), std::move(admission));
    BusService& s = served->service;
    if (!served->requirement) {
      s.log.error(cat("the requirement for ", s.busName, " does not parse; every caller is refused: ", s.requirement));
    }
    auto& table = served->vtable;
    table.push_back(SD_BUS_VTABLE_START(0));
    // Admission is the code requirement's job, not sd-bus's privilege check.
    for (const auto& method : s.methods) {
      table.push_back(SD_BUS_METHOD(method.name.c_str(), method.takesBytes ? "ay" : "", method.returnsBytes ? "ay" : "",
                                    &Served::onMethod, SD_BUS_VTABLE_UNPRIVILEGED));
    }
    for (const auto& signal : s.signalNames) table.push_back(SD_BUS_SIGNAL(signal.c_str(), "s", 0));
    table.push_back(SD_BUS_VTABLE_END);

    int r = sd_bus_add_object_vtable(core_->bus, &served->slot, s.objectPath.c_str(), s.interface.c_str(), table.data(),
                                     served.get());
    if (r < 0) {
      outcome = std::unexpected(BusError::fromErrno(r, cat("publish ", s.objectPath)));
      return;
    }
    r = sd_bus_request_name(core_->bus, s.busName.c_str(), 0);
    if (r < 0) {
      sd_bus_slot_unref(served->slot);
      outcome = std::unexpected(BusError::fromErrno(r, cat("own ", s.busName)));
      return;
    }
    core_->services.push_back(std::move(served));
    // Installed without waiting, so serving costs no round trip; a name that
    // leaves before it is in place is never reused, and its entry ages out.
    if (core_->departures == nullptr) {
      r = sd_bus_add_match_async(core_->bus, &core_->departures,
                                 "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
                                 "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg2=''",
                                 &Core::onNameOwnerChanged, &Core::onDeparturesInstalled, core_.get());
      if (r < 0) s.log.error(cat(noDeparturesLine, strerror(-r)));
    }
  });
  return outcome;
}

std::expected<std::string, BusError> BusConnection::call(const std::string& destination, const std::string& path,
                                                         const std::string& interface, const std::string& member,
                                                         std::optional<std::string_view> payload,
                                                         std::chrono::milliseconds timeout, bool activate) {
  if (queue_.isCurrent()) {
    auto message = newCall(core_->bus, destination, path, interface, member, payload, activate);
    if (!message) return std::unexpected(message.error());
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call(core_->bus, *message, micros(timeout), &error, &reply);
    sd_bus_message_unref(*message);
    Reply result = r < 0 ? std::unexpected(fromSdBusError(error, r, cat("call ", member))) : readFirstArgument(reply);
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    return result;
  }

  auto pending = std::make_shared<PendingCall>();
  auto answer = pending->promise.get_future();
  std::string bytes = payload ? std::string(*payload) : std::string();
  bool hasPayload = payload.has_value();
  queue_.async([core = core_, pending, destination, path, interface, member, bytes, hasPayload, timeout, activate] {
    auto message = newCall(core->bus, destination, path, interface, member,
                           hasPayload ? std::optional<std::string_view>(bytes) : std::nullopt, activate);
    if (!message) return pending->settle(std::unexpected(message.error()));
    auto* userdata = new std::shared_ptr<PendingCall>(pending);
    sd_bus_slot* slot = nullptr;
    int r = sd_bus_call_async(core->bus, &slot, *message, &onReply, userdata, micros(timeout));
    sd_bus_message_unref(*message);
    if (r < 0) {
      delete userdata;
      return pending->settle(std::unexpected(BusError::fromErrno(r, cat("call ", member))));
    }
    sd_bus_slot_set_destroy_callback(slot, &onCallDestroyed);
    // Handed to the bus, which frees it once answered or closed.
    sd_bus_slot_set_floating(slot, 1);
    sd_bus_slot_unref(slot);
  });
  pending.reset();
  try {
    return answer.get();
  } catch (const std::future_error&) {  // the queue stopped before the call was made
    return std::unexpected(BusError{"org.freedesktop.DBus.Error.Disconnected", "the connection closed"});
  }
}

std::expected<BusConnection::Subscription, BusError> BusConnection::subscribe(
    const std::string& sender, const std::string& path, const std::string& interface, const std::string& member,
    std::function<void(std::string_view)> handler) {
  int r = 0;
  std::uint64_t id = 0;
  queue_.sync([&] {
    auto* callback = new SignalHandler(std::move(handler));
    sd_bus_slot* slot = nullptr;
    r = sd_bus_match_signal(core_->bus, &slot, sender.empty() ? nullptr : sender.c_str(), path.c_str(),
                            interface.c_str(), member.c_str(), &onSignal, callback);
    if (r < 0) {
      delete callback;
      return;
    }
    sd_bus_slot_set_destroy_callback(slot, &deleteSignalHandler);
    id = core_->nextMatch++;
    core_->matches.emplace(id, slot);
  });
  if (r < 0) return std::unexpected(BusError::fromErrno(r, cat("subscribe to ", member)));
  return Subscription(core_, id);
}

BusConnection::Subscription::~Subscription() {
  auto core = core_.lock();
  if (!core) return;
  // Only the connection's queue may touch the slot; a closed connection has none left.
  core->queue.async([core, id = id_] {
    auto found = core->matches.find(id);
    if (found == core->matches.end()) return;
    sd_bus_slot_unref(found->second);
    core->matches.erase(found);
  });
}

void BusConnection::emitSignal(std::string path, std::string interface, std::string member, std::string argument,
                               std::function<void(int)> done) {
  auto emit = [core = core_, path = std::move(path), interface = std::move(interface), member = std::move(member),
               argument = std::move(argument), done = std::move(done)] {
    int r = core->bus == nullptr
                ? -ENOTCONN
                : sd_bus_emit_signal(core->bus, path.c_str(), interface.c_str(), member.c_str(), "s", argument.c_str());
    if (done) done(r < 0 ? -r : 0);
  };
  // A handler on the queue that rings goes on to other work before it returns
  // (a DNS flush, its reply): emit now, so the signal is not held back behind it.
  if (queue_.isCurrent()) {
    emit();
  } else {
    queue_.async(std::move(emit));
  }
}

}  // namespace hushwall
