#include "DaemonClient.hpp"

#include "HushwallCore/Identity.hpp"
#include "support/Subprocess.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdio>

namespace hushwall::testing {
namespace {

const std::string appName(AppService::busName);
const std::string appPath(AppService::objectPath);
const std::string appInterface(AppService::interface);

}  // namespace

DaemonClient::DaemonClient() {
  auto opened = BusConnection::openSystem(queue_);
  if (!opened) {
    ADD_FAILURE() << "cannot connect to the bus: " << opened.error().name;
    return;
  }
  bus_ = std::move(*opened);
  auto subscribed =
      bus_->subscribe("", std::string(RulesService::objectPath), std::string(RulesService::interface),
                      std::string(RulesService::rulesChanged), [this](std::string_view) { ++doorbells_; });
  if (subscribed)
    subscription_.emplace(std::move(*subscribed));
  else
    ADD_FAILURE() << "cannot subscribe to RulesChanged: " << subscribed.error().name;
}

DaemonClient::~DaemonClient() {
  subscription_.reset();
  bus_.reset();
}

std::expected<std::string, BusError> DaemonClient::call(const std::string& member,
                                                        std::optional<std::string_view> payload) {
  return bus_->call(appName, appPath, appInterface, member, payload);
}

std::expected<std::string, BusError> DaemonClient::busID() {
  return bus_->call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId");
}

std::expected<std::string, BusError> DaemonClient::callWithString(const std::string& member,
                                                                  const std::string& argument) {
  sd_bus* bus = nullptr;
  int r = sd_bus_open_system(&bus);
  if (r < 0) return std::unexpected(BusError::fromErrno(r, "connect"));
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  r = sd_bus_call_method(bus, appName.c_str(), appPath.c_str(), appInterface.c_str(), member.c_str(), &error, &reply,
                         "s", argument.c_str());
  std::expected<std::string, BusError> result;
  if (r < 0) {
    result = std::unexpected(BusError{error.name ? error.name : "", error.message ? error.message : ""});
  } else {
    result = std::string();
  }
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  sd_bus_flush_close_unref(bus);
  return result;
}

DaemonClient::FilterReply DaemonClient::callAsFilter(const std::string& member, const std::string& payload) {
  auto ran = Subprocess::run({HUSHWALL_E2E_FILTER_CLIENT, member}, payload);
  return {ran.status, ran.out};
}

}  // namespace hushwall::testing
