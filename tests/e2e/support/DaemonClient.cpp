#include "DaemonClient.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdio>

namespace hushwall::testing {
namespace {

constexpr const char* appName = "org.hushwall.daemon";
constexpr const char* appPath = "/org/hushwall/daemon";
constexpr const char* appInterface = "org.hushwall.Daemon";

}  // namespace

DaemonClient::DaemonClient() {
  auto opened = BusConnection::openSystem(queue_);
  if (!opened) {
    ADD_FAILURE() << "cannot connect to the bus: " << opened.error().name;
    return;
  }
  bus_ = std::move(*opened);
  auto subscribed = bus_->subscribe("", "/org/hushwall/rules", "org.hushwall.FilterRules", "RulesChanged",
                                    [this](std::string_view) { ++doorbells_; });
  if (subscribed) subscription_.emplace(std::move(*subscribed));
  else ADD_FAILURE() << "cannot subscribe to RulesChanged: " << subscribed.error().name;
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
  r = sd_bus_call_method(bus, appName, appPath, appInterface, member.c_str(), &error, &reply, "s", argument.c_str());
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
  int input[2];
  int output[2];
  if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0) return {-1, "pipe"};
  pid_t child = fork();
  if (child == 0) {
    dup2(input[0], STDIN_FILENO);
    dup2(output[1], STDOUT_FILENO);
    execl(HUSHWALL_E2E_FILTER_CLIENT, HUSHWALL_E2E_FILTER_CLIENT, member.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(input[0]);
  close(output[1]);
  for (std::size_t written = 0; written < payload.size();) {
    ssize_t n = write(input[1], payload.data() + written, payload.size() - written);
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  close(input[1]);
  FilterReply reply;
  char buffer[4096];
  for (ssize_t n; (n = read(output[0], buffer, sizeof buffer)) > 0;) reply.output.append(buffer, static_cast<std::size_t>(n));
  close(output[0]);
  int status = 0;
  waitpid(child, &status, 0);
  reply.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return reply;
}

}  // namespace hushwall::testing
