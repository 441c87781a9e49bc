#include "Platform/FileWatcher.hpp"

#include <sys/epoll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include "HushwallCore/Identity.hpp"
#include "HushwallCore/Strings.hpp"

namespace hushwall {
namespace {

// Write and extend, rename, delete, attribute and link-count change.
constexpr std::uint32_t watchMask = IN_MODIFY | IN_MOVE_SELF | IN_DELETE_SELF | IN_ATTRIB;

// A fresh inotify instance watching `path`, or -1 when the path cannot be watched.
int openWatch(const std::string& path) {
  int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) return -1;
  if (inotify_add_watch(fd, path.c_str(), watchMask) < 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

std::shared_ptr<FileWatcher> FileWatcher::make(std::string path, SerialQueue& queue, std::chrono::milliseconds debounce,
                                               std::function<void()> onChange, std::chrono::milliseconds poll) {
  return std::shared_ptr<FileWatcher>(new FileWatcher(std::move(path), queue, debounce, std::move(onChange), poll));
}

FileWatcher::FileWatcher(std::string path, SerialQueue& queue, std::chrono::milliseconds debounce,
                         std::function<void()> onChange, std::chrono::milliseconds poll)
    : path_(std::move(path)),
      queue_(queue),
      debounce_(debounce),
      poll_(poll),
      onChange_(std::move(onChange)),
      log_(LogSubsystem::daemon, "watcher") {}

FileWatcher::~FileWatcher() { pending_.cancel(); }

void FileWatcher::start() {
  queue_.async([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->arm(false);
  });
}

void FileWatcher::arm(bool notifying) {
  source_.reset();  // closes the previous inotify instance
  int fd = openWatch(path_);
  if (fd >= 0) {
    // Whatever the event, the watch is rebuilt on whatever is at the path now:
    // that is how a rename over the path or a delete-and-recreate is followed.
    source_ = queue_.addFd(fd, EPOLLIN, [weak = weak_from_this()](std::uint32_t) {
      if (auto self = weak.lock()) self->arm(true);
    });
  }
  if (!source_) {
    pollWhileAbsent();
    if (notifying) scheduleHandlerCall();  // a deletion is a change too
    return;
  }
  retry_.reset();
  if (notifying) scheduleHandlerCall();
}

void FileWatcher::pollWhileAbsent() {
  if (retry_) return;  // one log line per absence, not per poll
  retry_ = queue_.addTimer(poll_, poll_, poll_ / 5, [weak = weak_from_this()] {
    auto self = weak.lock();
    if (self && access(self->path_.c_str(), F_OK) == 0) self->arm(true);
  });
  log_.debug(cat("watching ", path_, " is deferred; path is absent"));
}

void FileWatcher::scheduleHandlerCall() {
  pending_.cancel();
  pending_ = queue_.asyncAfter(debounce_, [weak = weak_from_this()] {
    auto self = weak.lock();
    if (self) self->onChange_();
  });
}

}  // namespace hushwall
