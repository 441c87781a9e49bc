#include "support/Subprocess.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "support/WaitUntil.hpp"

extern char** environ;

namespace hushwall::testing {
namespace {

// Appends what was written to `fd` beyond the `text` already read, without moving the offset the child writes at.
void readMore(int fd, std::string& text) {
  char buffer[4096];
  for (ssize_t got; (got = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0;) {
    text.append(buffer, static_cast<std::size_t>(got));
  }
}

}  // namespace

Subprocess::Subprocess(const std::vector<std::string>& argv, std::optional<std::string> logFile) {
  int input[2];
  // A socket rather than a pipe, so that writing to a child that has gone raises no SIGPIPE.
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, input) != 0) std::abort();
  // Files, not pipes: a child never blocks on output nobody has read yet.
  stdout_ = logFile ? ::open(logFile->c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644)
                    : ::memfd_create("stdout", MFD_CLOEXEC);
  stderr_ = logFile ? ::fcntl(stdout_, F_DUPFD_CLOEXEC, 0) : ::memfd_create("stderr", MFD_CLOEXEC);
  if (stdout_ < 0 || stderr_ < 0) std::abort();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[0], 0);
  posix_spawn_file_actions_adddup2(&actions, stdout_, 1);
  posix_spawn_file_actions_adddup2(&actions, stderr_, 2);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) std::abort();
  posix_spawn_file_actions_destroy(&actions);
  ::close(input[0]);
  stdin_ = input[1];
}

Subprocess::~Subprocess() {
  closeInput();
  kill(SIGKILL);
  ::close(stdout_);
  ::close(stderr_);
}

void Subprocess::write(std::string_view bytes) {
  // Sent without SIGPIPE: a child that has already exited is an outcome the caller checks.
  for (ssize_t sent; !bytes.empty() && (sent = ::send(stdin_, bytes.data(), bytes.size(), MSG_NOSIGNAL)) > 0;) {
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
}

void Subprocess::closeInput() {
  if (stdin_ >= 0) ::close(stdin_);
  stdin_ = -1;
}

std::optional<std::string> Subprocess::nextLine(std::chrono::milliseconds timeout) {
  std::size_t end = std::string::npos;
  auto arrived = [&] {
    readMore(stdout_, out);
    return (end = out.find('\n', consumed_)) != std::string::npos;
  };
  if (!waitUntil(arrived, timeout, std::chrono::milliseconds(5))) return std::nullopt;
  std::string line = out.substr(consumed_, end - consumed_);
  consumed_ = end + 1;
  return line;
}

int Subprocess::finish(std::chrono::milliseconds timeout) {
  closeInput();
  auto status = waitForExit(timeout);
  if (!status) kill(SIGKILL);
  readMore(stdout_, out);
  readMore(stderr_, err);
  return !status ? -1 : WIFEXITED(*status) ? WEXITSTATUS(*status) : 128 + WTERMSIG(*status);
}

std::optional<int> Subprocess::waitForExit(std::chrono::milliseconds timeout) {
  // A child cannot be waited for with a timeout; polling at a short interval is the bounded wait.
  if (!waitUntil([&] { return pid_ <= 0 || reap(WNOHANG); }, timeout, std::chrono::milliseconds(5))) return {};
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
