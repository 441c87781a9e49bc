#include "support/Subprocess.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

extern char** environ;

namespace hushwall::testing {
namespace {

using Clock = std::chrono::steady_clock;

void drain(int& fd, std::string& into) {
  char buffer[4096];
  ssize_t got = ::read(fd, buffer, sizeof buffer);
  if (got > 0) return (void)into.append(buffer, static_cast<std::size_t>(got));
  ::close(fd);
  fd = -1;
}

int millisecondsUntil(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Reads what arrives on the open output pipes until `deadline` or the first arrival.
void pump(int& out, std::string& outText, int& err, std::string& errText, Clock::time_point deadline) {
  pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
  if (::poll(fds, 2, millisecondsUntil(deadline)) <= 0) return;
  if (fds[0].revents != 0) drain(out, outText);
  if (fds[1].revents != 0) drain(err, errText);
}

}  // namespace

Subprocess::Subprocess(const std::vector<std::string>& argv, std::optional<std::string> logFile) {
  int input[2], output[2] = {-1, -1}, errors[2] = {-1, -1};
  // A socket rather than a pipe, so that writing to a child that has gone raises no SIGPIPE.
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, input) != 0) std::abort();
  if (logFile) {
    output[1] = errors[1] = ::open(logFile->c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  } else if (::pipe2(output, O_CLOEXEC) != 0 || ::pipe2(errors, O_CLOEXEC) != 0) {
    std::abort();
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[0], 0);
  posix_spawn_file_actions_adddup2(&actions, output[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errors[1], 2);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) std::abort();
  posix_spawn_file_actions_destroy(&actions);
  ::close(input[0]);
  ::close(output[1]);
  if (!logFile) ::close(errors[1]);
  stdin_ = input[1];
  stdout_ = output[0];
  stderr_ = errors[0];
}

Subprocess::~Subprocess() {
  closeInput();
  kill(SIGKILL);
  for (int fd : {stdout_, stderr_}) {
    if (fd >= 0) ::close(fd);
  }
}

void Subprocess::write(std::string_view bytes) {
  // Sent without SIGPIPE: a child that has already exited is an outcome the caller checks.
  while (!bytes.empty()) {
    ssize_t sent = ::send(stdin_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent <= 0) break;
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
}

void Subprocess::closeInput() {
  if (stdin_ >= 0) ::close(stdin_);
  stdin_ = -1;
}

std::optional<std::string> Subprocess::nextLine(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (true) {
    if (auto end = out.find('\n', consumed_); end != std::string::npos) {
      std::string line = out.substr(consumed_, end - consumed_);
      consumed_ = end + 1;
      return line;
    }
    if (stdout_ < 0 || millisecondsUntil(deadline) == 0) return std::nullopt;
    pump(stdout_, out, stderr_, err, deadline);
  }
}

int Subprocess::finish(std::chrono::milliseconds timeout) {
  closeInput();
  auto deadline = Clock::now() + timeout;
  while ((stdout_ >= 0 || stderr_ >= 0) && millisecondsUntil(deadline) > 0) pump(stdout_, out, stderr_, err, deadline);
  if (stdout_ >= 0 || stderr_ >= 0) {
    kill(SIGKILL);
    return -1;
  }
  if (pid_ > 0) reap(0);
  return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
}

std::optional<int> Subprocess::waitForExit(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  // A child cannot be waited for with a timeout; polling at a short interval is the bounded wait.
  while (pid_ > 0 && !reap(WNOHANG)) {
    if (millisecondsUntil(deadline) == 0) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return status_;
}

void Subprocess::kill(int number) {
  if (pid_ <= 0) return;
  ::kill(pid_, number);
  reap(0);
}

bool Subprocess::reap(int options) {
  if (::waitpid(pid_, &status_, options) != pid_) return false;
  pid_ = -1;
  return true;
}

Subprocess::Ran Subprocess::run(const std::vector<std::string>& argv, std::string_view input) {
  Subprocess child(argv);
  child.write(input);
  int status = child.finish();
  return {status, std::move(child.out), std::move(child.err)};
}

}  // namespace hushwall::testing
