#include "Platform/SerialQueue.hpp"

#include <pthread.h>
#include <sys/eventfd.h>
#include <systemd/sd-event.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <future>
#include <mutex>
#include <system_error>
#include <unordered_map>
#include <utility>
#include <vector>

#include "HushwallCore/Error.hpp"
#include "HushwallCore/Identity.hpp"
#include "HushwallCore/Log.hpp"
#include "HushwallCore/Strings.hpp"

namespace hushwall {
namespace {

// Session time counts through suspend, so deadlines do too.
constexpr clockid_t queueClock = CLOCK_BOOTTIME;

std::uint64_t nowMicros() {
  timespec now{};
  clock_gettime(queueClock, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
}

std::uint64_t micros(SerialQueue::Duration duration) {
  return duration.count() <= 0 ? 0 : static_cast<std::uint64_t>(duration.count()) / 1000u;
}

// sd-event reads an accuracy of 0 as its 250 ms default; 1 µs is "exact".
std::uint64_t accuracy(SerialQueue::Duration leeway) { return std::max<std::uint64_t>(micros(leeway), 1); }

// A loop that cannot arm a timer would silently lose the work (a tick, a
// debounced repair); dying lets the service manager restart the daemon.
[[noreturn]] void fatal(std::string_view what, int negativeErrno) {
  Logger(LogSubsystem::daemon, "queue")
      .fault(cat(what, ": ", SystemError::fromErrno(-negativeErrno, "sd-event", "").description));
  std::abort();
}

// Static initialisation runs on the process's main thread: the main queue's home.
const std::thread::id processMainThread = std::this_thread::get_id();

struct TimerHandler {
  std::function<void()> handler;
  std::uint64_t intervalMicros;
};

int onTimer(sd_event_source* source, std::uint64_t due, void* userdata) {
  auto* timer = static_cast<TimerHandler*>(userdata);
  if (timer->intervalMicros != 0) {
    // Re-armed before the handler runs, so a handler that drops the source wins.
    std::uint64_t next = due + timer->intervalMicros;
    std::uint64_t now = nowMicros();
    if (next <= now) next = now + timer->intervalMicros;  // missed beats coalesce
    sd_event_source_set_time(source, next);
  }
  timer->handler();
  return 0;
}

using FdHandler = std::function<void(std::uint32_t)>;

int onFd(sd_event_source*, int, std::uint32_t revents, void* userdata) {
  (*static_cast<FdHandler*>(userdata))(revents);
  return 0;
}

template <class T>
void deleteUserdata(void* userdata) {
  delete static_cast<T*>(userdata);
}

}  // namespace

struct SerialQueue::WorkItem::State {
  std::atomic<bool> cancelled{false};
  std::weak_ptr<Loop> loop;
  std::function<void()> work;         // touched only on the queue
  sd_event_source* source = nullptr;  // touched only on the queue
};

struct SerialQueue::Loop : std::enable_shared_from_this<Loop> {
  sd_event* event = nullptr;
  sd_event_source* wakeSource = nullptr;
  int wakeFd = -1;
  std::atomic<std::thread::id> owner{};  // the thread running the loop, once it runs

  std::mutex mutex;
  std::vector<std::function<void()>> posted;  // guarded by mutex
  std::vector<sd_event_source*> releases;     // guarded by mutex
  bool stopped = false;                       // guarded by mutex
  // Serialises sd-event calls of handles destroyed after the loop stopped, when
  // no thread owns it any more. Recursive: a destroyed handler may drop another.
  std::recursive_mutex afterStop;

  // Delayed work not yet run, owned here so the loop can free it on stop. Queue only.
  std::unordered_map<sd_event_source*, std::shared_ptr<WorkItem::State>> items;

  Loop() {
    int r = sd_event_new(&event);
    if (r < 0) throw std::system_error(-r, std::generic_category(), "sd_event_new");
    wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
      int saved = errno;
      sd_event_unref(event);
      throw std::system_error(saved, std::generic_category(), "eventfd");
    }
    r = sd_event_add_io(event, &wakeSource, wakeFd, EPOLLIN, &Loop::onWake, this);
    if (r < 0) {
      close(wakeFd);
      sd_event_unref(event);
      throw std::system_error(-r, std::generic_category(), "sd_event_add_io");
    }
    sd_event_source_set_io_fd_own(wakeSource, 1);
  }

  ~Loop() {
    sd_event_source_disable_unref(wakeSource);
    sd_event_unref(event);
  }

  [[nodiscard]] bool isCurrent() const { return owner.load() == std::this_thread::get_id(); }

  // False when the loop has stopped; the work is then destroyed, not run.
  bool post(std::function<void()>& work) {
    bool wake;
    {
      std::lock_guard lock(mutex);
      if (stopped) return false;
      wake = posted.empty() && releases.empty();
      posted.push_back(std::move(work));
    }
    if (wake) signal();
    return true;
  }

  void release(sd_event_source* source) {
    if (isCurrent()) {
      sd_event_source_disable_unref(source);
      return;
    }
    {
      std::lock_guard lock(mutex);
      if (!stopped) {
        bool wake = posted.empty() && releases.empty();
        releases.push_back(source);
        if (wake) signal();
        return;
      }
    }
    std::lock_guard lock(afterStop);
    sd_event_source_disable_unref(source);
  }

  void signal() const {
    std::uint64_t one = 1;
    // EAGAIN means the counter is already non-zero: the loop will wake anyway.
    while (write(wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
  }

  static int onWake(sd_event_source*, int fd, std::uint32_t, void* userdata) {
    std::uint64_t count;
    while (read(fd, &count, sizeof count) < 0 && errno == EINTR) {
    }
    static_cast<Loop*>(userdata)->drain();
    return 0;
  }

  void drain() {
    std::vector<std::function<void()>> work;
    std::vector<sd_event_source*> dropped;
    {
      std::lock_guard lock(mutex);
      work.swap(posted);
      dropped.swap(releases);
    }
    for (auto* source : dropped) sd_event_source_disable_unref(source);
    for (auto& item : work) item();
  }

  void schedule(const std::shared_ptr<WorkItem::State>& item, std::uint64_t deadline, std::uint64_t leeway) {
    if (item->cancelled.load()) return;
    sd_event_source* source = nullptr;
    int r = sd_event_add_time(event, &source, queueClock, deadline, leeway, &Loop::onItem, this);
    if (r < 0) fatal("cannot arm a delayed work item", r);
    item->source = source;
    items.emplace(source, item);
  }

  static int onItem(sd_event_source* source, std::uint64_t, void* userdata) {
    auto* loop = static_cast<Loop*>(userdata);
    auto found = loop->items.find(source);
    if (found == loop->items.end()) return 0;
    auto item = std::move(found->second);
    loop->items.erase(found);
    item->source = nullptr;
    sd_event_source_disable_unref(source);
    auto work = std::move(item->work);
    if (!item->cancelled.load() && work) work();
    return 0;
  }

  void dropItem(WorkItem::State& item) {
    if (item.source == nullptr) return;
    sd_event_source* source = std::exchange(item.source, nullptr);
    auto found = items.find(source);
    std::shared_ptr<WorkItem::State> keep;  // the work's captures die after the erase
    if (found != items.end()) {
      keep = std::move(found->second);
      items.erase(found);
    }
    sd_event_source_disable_unref(source);
    keep.reset();
  }

  int run() {
    owner.store(std::this_thread::get_id());
    int r = sd_event_loop(event);
    finish();
    return r;
  }

  void finish() {
    std::vector<std::function<void()>> work;
    std::vector<sd_event_source*> dropped;
    {
      std::lock_guard lock(mutex);
      stopped = true;
      work.swap(posted);
      dropped.swap(releases);
    }
    for (auto* source : dropped) sd_event_source_disable_unref(source);
    auto pending = std::move(items);
    items.clear();
    for (auto& [source, item] : pending) {
      item->source = nullptr;
      sd_event_source_disable_unref(source);
    }
    owner.store(std::thread::id{});
  }
};

void SerialQueue::WorkItem::cancel() {
  if (!state_ || state_->cancelled.exchange(true)) return;
  auto loop = state_->loop.lock();
  if (!loop) return;
  if (loop->isCurrent()) {
    loop->dropItem(*state_);
    return;
  }
  std::function<void()> drop = [loop, state = state_] { loop->dropItem(*state); };
  loop->post(drop);
}

SerialQueue::EventSource::~EventSource() { loop_->release(source_); }

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)), loop_(std::make_shared<Loop>()) {
  // Thread names hold 15 characters: keep the label's last component.
  std::string name = label_.substr(label_.rfind('.') == std::string::npos ? 0 : label_.rfind('.') + 1).substr(0, 15);
  std::promise<void> started;
  auto running = started.get_future();
  thread_ = std::thread([loop = loop_, name, &started] {
    pthread_setname_np(pthread_self(), name.c_str());
    loop->owner.store(std::this_thread::get_id());
    started.set_value();
    loop->run();
  });
  running.wait();  // so isCurrent() answers correctly from the first post on
}

SerialQueue::SerialQueue(std::string label, MainTag) : label_(std::move(label)), loop_(std::make_shared<Loop>()) {
  loop_->owner.store(processMainThread);
}

SerialQueue::~SerialQueue() {
  if (!thread_.joinable()) return;
  async([loop = loop_.get()] { sd_event_exit(loop->event, 0); });
  thread_.join();
}

SerialQueue& SerialQueue::main() {
  static SerialQueue* queue = new SerialQueue("main", MainTag{});  // never destroyed
  return *queue;
}

void SerialQueue::dispatchMain() {
  if (std::this_thread::get_id() != processMainThread) {
    Logger(LogSubsystem::daemon, "queue").fault("dispatchMain called off the main thread");
    std::abort();
  }
  int r = main().loop_->run();
  std::exit(r < 0 ? EXIT_FAILURE : r);
}

bool SerialQueue::isCurrent() const { return loop_->isCurrent(); }

void SerialQueue::async(std::function<void()> work) {
  if (!loop_->post(work)) work = nullptr;  // destroyed here, outside the queue's lock
}

void SerialQueue::sync(const std::function<void()>& work) {
  if (isCurrent()) {
    work();
    return;
  }
  // A task dropped by a stopped queue still makes its future ready.
  auto task = std::make_shared<std::packaged_task<void()>>(work);
  auto done = task->get_future();
  async([task] { (*task)(); });
  task.reset();
  done.wait();
}

SerialQueue::WorkItem SerialQueue::asyncAfter(Duration delay, std::function<void()> work, Duration leeway) {
  std::uint64_t deadline = nowMicros() + micros(delay);
  WorkItem item;
  item.state_ = std::make_shared<WorkItem::State>();
  item.state_->loop = loop_;
  item.state_->work = std::move(work);
  if (isCurrent()) {
    loop_->schedule(item.state_, deadline, accuracy(leeway));
  } else {
    async([loop = loop_.get(), state = item.state_, deadline, leeway] {
      loop->schedule(state, deadline, accuracy(leeway));
    });
  }
  return item;
}

std::unique_ptr<SerialQueue::EventSource> SerialQueue::addTimer(Duration delay, Duration interval, Duration leeway,
                                                                std::function<void()> handler) {
  auto* timer = new TimerHandler{std::move(handler), micros(interval)};
  sd_event_source* source = nullptr;
  int r = sd_event_add_time(loop_->event, &source, queueClock, nowMicros() + micros(delay), accuracy(leeway), &onTimer,
                            timer);
  if (r < 0) {
    delete timer;
    fatal("cannot arm a timer", r);
  }
  sd_event_source_set_destroy_callback(source, &deleteUserdata<TimerHandler>);
  if (timer->intervalMicros != 0) sd_event_source_set_enabled(source, SD_EVENT_ON);
  return std::unique_ptr<EventSource>(new EventSource(loop_, source));
}

std::unique_ptr<SerialQueue::EventSource> SerialQueue::addFd(int fd, std::uint32_t events,
                                                             std::function<void(std::uint32_t)> handler) {
  auto* callback = new FdHandler(std::move(handler));
  sd_event_source* source = nullptr;
  int r = sd_event_add_io(loop_->event, &source, fd, events, &onFd, callback);
  if (r < 0) {
    delete callback;
    close(fd);
    return nullptr;
  }
  sd_event_source_set_destroy_callback(source, &deleteUserdata<FdHandler>);
  sd_event_source_set_io_fd_own(source, 1);
  return std::unique_ptr<EventSource>(new EventSource(loop_, source));
}

sd_event* SerialQueue::event() const { return loop_->event; }

}  // namespace hushwall
