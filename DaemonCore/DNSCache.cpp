#include "DaemonCore/DNSCache.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "DaemonCore/SystemPaths.hpp"
#include "HushwallCore/Error.hpp"
#include "HushwallCore/Identity.hpp"
#include "HushwallCore/Log.hpp"
#include "HushwallCore/Strings.hpp"

extern char** environ;

namespace hushwall {
namespace {

const Logger& logger() {
  static const Logger instance(LogSubsystem::daemon, "dns");
  return instance;
}

// The child starts clean: output to /dev/null, no descriptor of ours beyond the
// standard three, no blocked signals or handlers' dispositions from our threads.
struct SpawnSetup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;

  SpawnSetup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    posix_spawnattr_init(&attributes);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
};

}  // namespace

DNSCache::DNSCache() : DNSCache(systemPaths().resolvectl, systemPaths().killall) {}

DNSCache::DNSCache(std::string resolvectl, std::string killall)
    : resolvectl_(std::move(resolvectl)), killall_(std::move(killall)) {}

void DNSCache::flush() const {
  run(resolvectl_, {"flush-caches"});
  run(killall_, {"-HUP", "dnsmasq"});
  logger().notice("flushed DNS cache");
}

void DNSCache::run(const std::string& path, const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  SpawnSetup setup;
  pid_t child = 0;
  int launched = ::posix_spawn(&child, path.c_str(), &setup.actions, &setup.attributes, argv.data(), environ);
  if (launched != 0) {
    logger().error(cat(path, " failed: ", SystemError::fromErrno(launched, "posix_spawn", "").description));
    return;
  }
  int status = 0;
  pid_t waited;
  do {
    waited = ::waitpid(child, &status, 0);
  } while (waited < 0 && errno == EINTR);
  if (waited < 0) {
    logger().error(cat(path, " failed: ", SystemError::fromErrno(errno, "waitpid", "").description));
    return;
  }
  // The termination status: the exit code, or the signal that ended the child.
  int termination = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? WTERMSIG(status) : status;
  if (termination != 0) logger().error(cat(path, " exited ", termination));
}

}  // namespace hushwall
