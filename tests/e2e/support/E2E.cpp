#include "E2E.hpp"

#include <ctime>
#include <filesystem>
#include <regex>

#include "HushwallCore/Identity.hpp"
#include "PrivateBus.hpp"
#include "support/TemporaryDirectory.hpp"

namespace hushwall::testing {
namespace fs = std::filesystem;

std::string fileOrEmpty(const std::string& path) { return fs::exists(path) ? readFile(path) : std::string(); }

std::int64_t localMinute(std::int64_t offset) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return ((local.tm_hour * 60 + local.tm_min + offset) % 1440 + 1440) % 1440;
}

SandboxDaemon::SandboxDaemon(const std::string& executable, const std::string& sandbox)
    : built(executable), root(sandbox) {
  (void)PrivateBus::shared(HUSHWALL_SOURCE_DIR "/packaging/test-bus.conf");
  fs::remove_all(root);
  for (const char* directory : {"/etc", "/var/lib", "/usr/bin"}) fs::create_directories(root + directory);
  writeFile(hosts, std::string(initialHosts));
  for (std::string tool : {"resolvectl", "killall"}) {
    writeFile(root + "/usr/bin/" + tool, "#!/bin/sh\necho \"" + tool + " $*\" >> '" + dnsLog + "'\n", 0755);
  }
  fs::copy_file(built, installed);
}

bool SandboxDaemon::start(const std::optional<std::string>& executable) {
  // The app's service and the filter's each say so once their bus name is owned.
  const int listening = logCount("listening on ") + 2;
  process_ = std::make_unique<Subprocess>(std::vector<std::string>{executable.value_or(installed)}, logFile);
  auto exited = [&] { return process_->waitForExit(0ms).has_value(); };
  if (waitUntil([&] { return logCount("listening on ") >= listening || exited(); }, 10s, 1ms) && !exited()) return true;
  ADD_FAILURE() << "the daemon did not come up; its log:\n" << log();
  return false;
}

void SandboxDaemon::replaceWith(const std::string& file) const {
  fs::copy_file(file, installed + ".next");
  fs::rename(installed + ".next", installed);
}

int SandboxDaemon::logCount(std::string_view text) const {
  std::string all = log();
  int count = 0;
  for (auto at = all.find(text); at != std::string::npos; at = all.find(text, at + text.size())) ++count;
  return count;
}

bool SandboxDaemon::waitForLog(std::string_view text, std::chrono::milliseconds timeout, int count) const {
  return waitUntil([&] { return logCount(text) >= count; }, timeout, 20ms);
}

long SandboxDaemon::longestStay(bool schedules) const {
  std::string text = log();
  std::regex line(std::string("staying up: session=false stuck=false schedules=") + (schedules ? "true" : "false") +
                  " sinceLastRequest=([0-9]+)s");
  long longest = -1;
  for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it) {
    longest = std::max(longest, std::stol((*it)[1]));
  }
  return longest;
}

AppClient::AppClient() {
  auto opened = BusConnection::openSystem(queue_);
  if (!opened) {
    ADD_FAILURE() << "cannot connect to the bus: " << opened.error().name;
    return;
  }
  bus_ = std::move(*opened);
  auto subscribed =
      bus_->subscribe("", std::string(RulesService::objectPath), std::string(RulesService::interface),
                      std::string(RulesService::rulesChanged), [this](std::string_view) { ++doorbells_; });
  if (subscribed) subscription_.emplace(std::move(*subscribed));
  EXPECT_TRUE(subscribed);
}

std::expected<std::string, BusError> AppClient::call(const std::string& member,
                                                     std::optional<std::string_view> payload) {
  return bus_->call(std::string(AppService::busName), std::string(AppService::objectPath),
                    std::string(AppService::interface), member, payload);
}

std::expected<std::string, BusError> AppClient::busID() {
  return bus_->call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId");
}

std::string rawCall(sd_bus* bus, const char* path, const char* interface, const char* member,
                    const std::function<int(sd_bus_message*)>& append) {
  sd_bus_message* call = nullptr;
  sd_bus_message* reply = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  int r = sd_bus_message_new_method_call(bus, &call, std::string(AppService::busName).c_str(), path, interface, member);
  if (r >= 0) r = append(call);
  if (r >= 0) r = sd_bus_call(bus, call, 30'000'000, &error, &reply);
  std::string name = r >= 0 ? "" : error.name ? error.name : "errno " + std::to_string(-r);
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  sd_bus_message_unref(call);
  return name;
}

}  // namespace hushwall::testing
