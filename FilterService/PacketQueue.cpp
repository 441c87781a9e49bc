#include "FilterService/PacketQueue.hpp"

// The C library's socket headers go before the kernel's, which defer to them.
#include <arpa/inet.h>
#include <fcntl.h>
#include <libmnl/libmnl.h>
#include <libnetfilter_queue/libnetfilter_queue.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nfnetlink_queue.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "FilterService/Marks.hpp"

namespace hushwall::filter {

namespace {

QueueError failure(const std::string& what, int error) {
  return QueueError{"netfilter queue: " + what + ": " + std::strerror(error)};
}

// Sends one configuration message and waits for its acknowledgement.
std::expected<void, QueueError> configure(mnl_socket* socket, nlmsghdr* message, const std::string& what) {
  message->nlmsg_flags |= NLM_F_ACK;
  if (mnl_socket_sendto(socket, message, message->nlmsg_len) < 0) return std::unexpected(failure(what, errno));
  char reply[8192];
  ssize_t received = mnl_socket_recvfrom(socket, reply, sizeof reply);
  if (received < 0) return std::unexpected(failure(what, errno));
  if (mnl_cb_run(reply, received, 0, mnl_socket_get_portid(socket), nullptr, nullptr) < 0) {
    return std::unexpected(failure(what, errno));
  }
  return {};
}

std::uint32_t verdictMark(std::uint32_t mark, PacketQueue::Verdict verdict) {
  std::uint32_t kept = mark & ~marks::field;
  switch (verdict) {
    case PacketQueue::Verdict::allowFlow:
      return kept | marks::allowFlow;
    case PacketQueue::Verdict::blockFlow:
      return kept | marks::blockFlow;
    case PacketQueue::Verdict::refusePacket:
      return kept | marks::refusePacket;
    case PacketQueue::Verdict::accept:
    case PacketQueue::Verdict::drop:
      return kept;
  }
  return kept;
}

}  // namespace

PacketQueue::PacketQueue(mnl_socket* socket, std::uint16_t number, std::chrono::milliseconds deadline,
                         std::function<void(Packet)> deliver)
    : socket_(socket), number_(number), deadline_(deadline), deliver_(std::move(deliver)) {}

std::expected<std::unique_ptr<PacketQueue>, QueueError> PacketQueue::open(std::uint16_t number,
                                                                          std::chrono::milliseconds deadline,
                                                                          std::function<void(Packet)> deliver) {
  mnl_socket* socket = mnl_socket_open(NETLINK_NETFILTER);
  if (socket == nullptr) return std::unexpected(failure("socket", errno));
  std::unique_ptr<PacketQueue> queue(new PacketQueue(socket, number, deadline, std::move(deliver)));
  if (mnl_socket_bind(socket, 0, MNL_SOCKET_AUTOPID) < 0) return std::unexpected(failure("bind", errno));
  int fd = mnl_socket_get_fd(socket);
  // Room for bursts of new flows; an overrun is survived (see receive) but costs a batch accept.
  int bufferSize = 8 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bufferSize, sizeof bufferSize);

  char buffer[8192];
  nlmsghdr* message = nfq_nlmsg_put(buffer, NFQNL_MSG_CONFIG, number);
  nfq_nlmsg_cfg_put_cmd(message, AF_INET, NFQNL_CFG_CMD_BIND);
  if (auto done = configure(socket, message, "bind queue " + std::to_string(number)); !done) {
    return std::unexpected(done.error());
  }
  message = nfq_nlmsg_put(buffer, NFQNL_MSG_CONFIG, number);
  nfq_nlmsg_cfg_put_params(message, NFQNL_COPY_PACKET, 0xffff);
  // Fail open: a full queue passes packets rather than dropping them. GSO: no
  // segmenting on the way to us; the verdict covers the whole packet.
  mnl_attr_put_u32(message, NFQA_CFG_FLAGS, htonl(NFQA_CFG_F_FAIL_OPEN | NFQA_CFG_F_GSO));
  mnl_attr_put_u32(message, NFQA_CFG_MASK, htonl(NFQA_CFG_F_FAIL_OPEN | NFQA_CFG_F_GSO));
  nfq_nlmsg_cfg_put_qmaxlen(message, 8192);
  if (auto done = configure(socket, message, "configure"); !done) return std::unexpected(done.error());

  queue->stopFd_ = eventfd(0, EFD_CLOEXEC);
  if (queue->stopFd_ < 0) return std::unexpected(failure("eventfd", errno));
  void* page = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (page == MAP_FAILED) return std::unexpected(failure("shared page", errno));
  queue->shared_ = new (page) Shared();
  queue->shared_->heartbeat = Clock::now().time_since_epoch().count();
  queue->startGuard();
  queue->reader_ = std::thread([q = queue.get()] { q->run(); });
  return queue;
}

// The guard runs between fork and _exit in a copy of a threaded process: only
// system calls and writes into its own stack buffers, nothing that allocates.
void PacketQueue::startGuard() {
  pid_t parent = getpid();
  int fd = mnl_socket_get_fd(socket_);
  pid_t child = fork();
  if (child != 0) {
    guard_ = child;  // -1: no guard; the deadline still holds while the process runs
    return;
  }
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(0);
  // Keep only the queue's socket: an inherited nftables socket would keep an owned table alive.
  close_range(0, fd - 1, 0);
  close_range(fd + 1, ~0u, 0);
  // A stopped filter is relieved after half the deadline, so that a packet taken
  // just before the stop still passes within it; a running one that does not
  // move (wedged, or starved of CPU) only after twice the deadline, since it
  // may yet answer in time itself.
  const Clock::rep deadline = std::chrono::duration_cast<Clock::duration>(deadline_).count();
  char statPath[64];
  std::snprintf(statPath, sizeof statPath, "/proc/%d/stat", static_cast<int>(parent));
  auto isStalled = [&] {
    Clock::rep age = Clock::now().time_since_epoch().count() - shared_->heartbeat.load();
    if (age >= 2 * deadline) return true;
    if (age < deadline / 2) return false;
    char stat[512];
    int statFd = ::open(statPath, O_RDONLY | O_CLOEXEC);
    if (statFd < 0) return false;
    ssize_t length = read(statFd, stat, sizeof stat - 1);
    close(statFd);
    if (length <= 0) return false;
    stat[length] = '\0';
    // The state follows the last ')' of the command name: T stopped, t traced.
    const char* end = std::strrchr(stat, ')');
    return end != nullptr && (end[2] == 'T' || end[2] == 't');
  };
  const timespec nap{0, static_cast<long>(std::chrono::nanoseconds(deadline_).count() / 4)};
  std::uint32_t released = 0;
  bool releasedAny = false;
  alignas(nlmsghdr) static char buffer[0xffff + 8192];
  char verdict[256];
  for (;;) {
    if (!isStalled()) {
      nanosleep(&nap, nullptr);
      continue;
    }
    // The reader is stalled: what it took waits on verdicts that will not come in time.
    std::uint32_t taken = shared_->lastId.load();
    if (shared_->tookAny.load() && (!releasedAny || taken != released)) {
      nlmsghdr* message = nfq_nlmsg_put(verdict, NFQNL_MSG_VERDICT_BATCH, number_);
      nfq_nlmsg_verdict_put(message, static_cast<int>(taken), NF_ACCEPT);
      (void)sendto(fd, message, message->nlmsg_len, 0, nullptr, 0);
      released = taken;
      releasedAny = true;
    }
    // Each packet of an undecided flow comes back, so answer as they arrive, not at the next nap.
    pollfd readable{fd, POLLIN, 0};
    (void)poll(&readable, 1, static_cast<int>(nap.tv_nsec / 1'000'000));
    if (!isStalled()) continue;
    for (;;) {
      ssize_t received = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (received < 0) break;
      int left = static_cast<int>(received);
      for (auto* message = reinterpret_cast<nlmsghdr*>(buffer); mnl_nlmsg_ok(message, left);
           message = mnl_nlmsg_next(message, &left)) {
        nlattr* attributes[NFQA_MAX + 1] = {};
        if (nfq_nlmsg_parse(message, attributes) < 0 || attributes[NFQA_PACKET_HDR] == nullptr) continue;
        const auto* header =
            static_cast<const nfqnl_msg_packet_hdr*>(mnl_attr_get_payload(attributes[NFQA_PACKET_HDR]));
        std::uint32_t mark = attributes[NFQA_MARK] ? ntohl(mnl_attr_get_u32(attributes[NFQA_MARK])) : 0;
        nlmsghdr* answer = nfq_nlmsg_put(verdict, NFQNL_MSG_VERDICT, number_);
        nfq_nlmsg_verdict_put(answer, static_cast<int>(ntohl(header->packet_id)), NF_ACCEPT);
        nfq_nlmsg_verdict_put_mark(answer, mark & ~marks::field);
        (void)sendto(fd, answer, answer->nlmsg_len, 0, nullptr, 0);
      }
    }
  }
}

PacketQueue::Clock::time_point PacketQueue::heartbeat() const {
  return Clock::time_point(Clock::duration(shared_->heartbeat.load()));
}

PacketQueue::~PacketQueue() {
  if (guard_ > 0) {
    kill(guard_, SIGKILL);
    waitpid(guard_, nullptr, 0);
  }
  if (reader_.joinable()) {
    std::uint64_t one = 1;
    (void)!write(stopFd_, &one, sizeof one);
    reader_.join();
  }
  if (stopFd_ >= 0) close(stopFd_);
  // Closing the socket unbinds the queue; the kernel passes what it still holds.
  mnl_socket_close(socket_);
  if (shared_ != nullptr) munmap(shared_, sizeof(Shared));
}

void PacketQueue::run() {
  std::vector<char> buffer(0xffff + MNL_SOCKET_BUFFER_SIZE);
  pollfd fds[2] = {{mnl_socket_get_fd(socket_), POLLIN, 0}, {stopFd_, POLLIN, 0}};
  constexpr auto longestWait = std::chrono::milliseconds(50);
  for (;;) {
    auto now = Clock::now();
    shared_->heartbeat = now.time_since_epoch().count();
    auto wait = longestWait;
    {
      std::lock_guard lock(mutex_);
      for (const auto& [id, due] : pending_) {
        wait =
            std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(std::max(due.first - now, Clock::duration(0))));
      }
    }
    int ready = poll(fds, 2, static_cast<int>(wait.count()));
    if (ready < 0 && errno != EINTR) return;
    if (fds[1].revents != 0) return;
    if (ready > 0 && (fds[0].revents & POLLIN) != 0) receive(buffer);
    expire(Clock::now());
  }
}

void PacketQueue::receive(std::vector<char>& buffer) {
  for (;;) {
    ssize_t received = recv(mnl_socket_get_fd(socket_), buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (received < 0) {
      // Messages were lost: their packets wait in the kernel with ids we never saw.
      if (errno == ENOBUFS) {
        lostSome_ = true;
        continue;
      }
      return;
    }
    int left = static_cast<int>(received);
    for (auto* message = reinterpret_cast<nlmsghdr*>(buffer.data()); mnl_nlmsg_ok(message, left);
         message = mnl_nlmsg_next(message, &left)) {
      nlattr* attributes[NFQA_MAX + 1] = {};
      if (nfq_nlmsg_parse(message, attributes) < 0 || attributes[NFQA_PACKET_HDR] == nullptr) continue;
      const auto* header = static_cast<const nfqnl_msg_packet_hdr*>(mnl_attr_get_payload(attributes[NFQA_PACKET_HDR]));
      Packet packet;
      packet.id = ntohl(header->packet_id);
      packet.mark = attributes[NFQA_MARK] ? ntohl(mnl_attr_get_u32(attributes[NFQA_MARK])) : 0;
      if (attributes[NFQA_PAYLOAD] != nullptr) {
        const auto* bytes = static_cast<const std::uint8_t*>(mnl_attr_get_payload(attributes[NFQA_PAYLOAD]));
        packet.bytes.assign(bytes, bytes + mnl_attr_get_payload_len(attributes[NFQA_PAYLOAD]));
      }
      packet.received = Clock::now();
      if (lostSome_) {
        // Ids are given in order: everything before this one that we never saw passes.
        lostSome_ = false;
        send(packet.id - 1, NF_ACCEPT, 0, true);
        std::lock_guard lock(mutex_);
        ++stats_.lost;
      }
      {
        std::lock_guard lock(mutex_);
        pending_.emplace(packet.id, std::pair(packet.received + deadline_, packet.mark));
        ++stats_.received;
      }
      shared_->lastId = packet.id;
      shared_->tookAny = true;
      deliver_(std::move(packet));
    }
    // A long backlog is progress, not a stall; what was delivered unanswered still meets its deadline.
    auto now = Clock::now();
    shared_->heartbeat = now.time_since_epoch().count();
    expire(now);
  }
}

void PacketQueue::expire(Clock::time_point now) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> overdue;
  {
    std::lock_guard lock(mutex_);
    for (auto at = pending_.begin(); at != pending_.end();) {
      if (at->second.first <= now) {
        overdue.emplace_back(at->first, at->second.second);
        at = pending_.erase(at);
        ++stats_.expired;
      } else {
        ++at;
      }
    }
  }
  for (auto [id, mark] : overdue) send(id, NF_ACCEPT, verdictMark(mark, Verdict::accept));
}

bool PacketQueue::answer(const Packet& packet, Verdict verdict) {
  {
    std::lock_guard lock(mutex_);
    if (pending_.erase(packet.id) == 0) return false;
    ++stats_.answered;
  }
  send(packet.id, verdict == Verdict::drop ? NF_DROP : NF_ACCEPT, verdictMark(packet.mark, verdict));
  return true;
}

void PacketQueue::send(std::uint32_t id, int verdict, std::uint32_t mark, bool batch) {
  char buffer[8192];
  nlmsghdr* message = nfq_nlmsg_put(buffer, batch ? NFQNL_MSG_VERDICT_BATCH : NFQNL_MSG_VERDICT, number_);
  nfq_nlmsg_verdict_put(message, static_cast<int>(id), verdict);
  if (!batch) nfq_nlmsg_verdict_put_mark(message, mark);
  // A packet the kernel no longer holds (ENOENT) needs nothing more.
  (void)mnl_socket_sendto(socket_, message, message->nlmsg_len);
}

PacketQueue::Stats PacketQueue::stats() const {
  std::lock_guard lock(mutex_);
  return stats_;
}

}  // namespace hushwall::filter
