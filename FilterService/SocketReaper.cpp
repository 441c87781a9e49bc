#include "FilterService/SocketReaper.hpp"

// The C library's socket headers go before the kernel's, which defer to them.
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <span>
#include <vector>

namespace hushwall::filter {

namespace {

struct Request {
  nlmsghdr header;
  inet_diag_req_v2 body;
};

std::string failure(const std::string& what, int error) {
  return "socket diagnostics: " + what + ": " + std::strerror(error);
}

class DiagSocket {
 public:
  DiagSocket() : fd_(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)) {}
  ~DiagSocket() {
    if (fd_ >= 0) close(fd_);
  }
  DiagSocket(const DiagSocket&) = delete;
  DiagSocket& operator=(const DiagSocket&) = delete;
  [[nodiscard]] int fd() const { return fd_; }

 private:
  int fd_;
};

bool send(int fd, std::uint16_t type, std::uint16_t flags, const inet_diag_req_v2& body) {
  Request request{};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = type;
  request.header.nlmsg_flags = NLM_F_REQUEST | flags;
  request.body = body;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  return sendto(fd, &request, sizeof request, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) >= 0;
}

FlowKey keyOf(const inet_diag_msg& message, std::uint8_t protocol) {
  FlowKey key;
  key.transport = protocol == IPPROTO_TCP ? Transport::tcp : Transport::udp;
  auto address = [&](const __be32* words) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(words);
    return message.idiag_family == AF_INET ? IpAddress::v4(std::span<const std::uint8_t, 4>(bytes, 4))
                                           : IpAddress::v6(std::span<const std::uint8_t, 16>(bytes, 16));
  };
  key.source = address(message.id.idiag_src);
  key.destination = address(message.id.idiag_dst);
  key.sourcePort = ntohs(message.id.idiag_sport);
  key.destinationPort = ntohs(message.id.idiag_dport);
  return key;
}

// The sockets of one family and protocol in `states` that `isBlocked` names.
std::expected<std::vector<inet_diag_sockid>, std::string> matching(
    int fd, std::uint8_t family, std::uint8_t protocol, std::uint32_t states,
    const std::function<bool(const FlowKey&)>& isBlocked) {
  inet_diag_req_v2 body{};
  body.sdiag_family = family;
  body.sdiag_protocol = protocol;
  body.idiag_states = states;
  if (!send(fd, SOCK_DIAG_BY_FAMILY, NLM_F_DUMP, body)) return std::unexpected(failure("dump", errno));
  std::vector<inet_diag_sockid> found;
  std::vector<char> buffer(32 * 1024);
  for (;;) {
    ssize_t received = recv(fd, buffer.data(), buffer.size(), 0);
    if (received < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(failure("dump", errno));
    }
    int left = static_cast<int>(received);
    for (auto* message = reinterpret_cast<nlmsghdr*>(buffer.data()); NLMSG_OK(message, left);
         message = NLMSG_NEXT(message, left)) {
      if (message->nlmsg_type == NLMSG_DONE) return found;
      if (message->nlmsg_type == NLMSG_ERROR) {
        const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(message));
        return std::unexpected(failure("dump", -error->error));
      }
      const auto* socketInfo = static_cast<const inet_diag_msg*>(NLMSG_DATA(message));
      if (isBlocked(keyOf(*socketInfo, protocol))) found.push_back(socketInfo->id);
    }
  }
}

}  // namespace

std::expected<ReapResult, std::string> reapSockets(const std::function<bool(const FlowKey&)>& isBlocked) {
  DiagSocket diag;
  if (diag.fd() < 0) return std::unexpected(failure("socket", errno));
  // TCP: every state of a connection with a peer; UDP: connected sockets, which the kernel lists as established.
  constexpr std::uint32_t tcpStates = (1u << TCP_ESTABLISHED) | (1u << TCP_SYN_SENT) | (1u << TCP_SYN_RECV) |
                                      (1u << TCP_FIN_WAIT1) | (1u << TCP_FIN_WAIT2) | (1u << TCP_CLOSE_WAIT);
  constexpr std::uint32_t udpStates = 1u << TCP_ESTABLISHED;
  ReapResult result;
  for (std::uint8_t family : {AF_INET, AF_INET6}) {
    for (auto [protocol, states] : std::array{std::pair<std::uint8_t, std::uint32_t>{IPPROTO_TCP, tcpStates},
                                              std::pair<std::uint8_t, std::uint32_t>{IPPROTO_UDP, udpStates}}) {
      auto found = matching(diag.fd(), family, protocol, states, isBlocked);
      if (!found) return std::unexpected(found.error());
      for (const inet_diag_sockid& id : *found) {
        inet_diag_req_v2 body{};
        body.sdiag_family = family;
        body.sdiag_protocol = protocol;
        body.idiag_states = ~0u;
        body.id = id;
        if (!send(diag.fd(), SOCK_DESTROY, NLM_F_ACK, body)) return std::unexpected(failure("destroy", errno));
        nlmsghdr reply[64];
        ssize_t received = recv(diag.fd(), reply, sizeof reply, 0);
        const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(reply));
        bool done = received > 0 && reply->nlmsg_type == NLMSG_ERROR && error->error == 0;
        ++(done ? result.destroyed : result.refused);
      }
    }
  }
  return result;
}

}  // namespace hushwall::filter
