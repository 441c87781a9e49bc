#include "FilterService/FlowMarker.hpp"

// The C library's socket headers go before the kernel's, which defer to them.
#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_conntrack.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "FilterService/Marks.hpp"

namespace hushwall::filter {

namespace {

std::string failure(const std::string& what, int error) { return "conntrack: " + what + ": " + std::strerror(error); }

struct SocketCloser {
  void operator()(mnl_socket* socket) const { mnl_socket_close(socket); }
};

// Attributes by type; every table of ctnetlink's that is read here is shorter.
using Attributes = std::array<const nlattr*, 64>;

int indexAttribute(const nlattr* attribute, void* data) {
  auto& found = *static_cast<Attributes*>(data);
  if (auto type = mnl_attr_get_type(attribute); type < found.size()) found[type] = attribute;
  return MNL_CB_OK;
}

Attributes nested(const nlattr* nest) {
  Attributes found{};
  (void)mnl_attr_parse_nested(nest, indexAttribute, &found);
  return found;
}

nlmsghdr* putHeader(char* buffer, std::uint16_t type, std::uint16_t flags, std::uint8_t family, std::uint32_t seq) {
  nlmsghdr* message = mnl_nlmsg_put_header(buffer);
  message->nlmsg_type = (NFNL_SUBSYS_CTNETLINK << 8) | type;
  message->nlmsg_flags = NLM_F_REQUEST | flags;
  message->nlmsg_seq = seq;
  auto* general = static_cast<nfgenmsg*>(mnl_nlmsg_put_extra_header(message, sizeof(nfgenmsg)));
  general->nfgen_family = family;
  general->version = NFNETLINK_V0;
  general->res_id = 0;
  return message;
}

std::optional<IpAddress> addressOf(const nlattr* attribute) {
  if (attribute == nullptr) return std::nullopt;
  const auto* bytes = static_cast<const std::uint8_t*>(mnl_attr_get_payload(attribute));
  switch (mnl_attr_get_payload_len(attribute)) {
    case 4:
      return IpAddress::v4(std::span<const std::uint8_t, 4>(bytes, 4));
    case 16:
      return IpAddress::v6(std::span<const std::uint8_t, 16>(bytes, 16));
    default:
      return std::nullopt;
  }
}

// The flow a CTA_TUPLE_ORIG names, when it is TCP or UDP over IP.
std::optional<FlowKey> keyOf(const nlattr* tuple) {
  Attributes parts = nested(tuple);
  if (parts[CTA_TUPLE_IP] == nullptr || parts[CTA_TUPLE_PROTO] == nullptr) return std::nullopt;
  Attributes ip = nested(parts[CTA_TUPLE_IP]);
  Attributes proto = nested(parts[CTA_TUPLE_PROTO]);
  if (proto[CTA_PROTO_NUM] == nullptr || proto[CTA_PROTO_SRC_PORT] == nullptr || proto[CTA_PROTO_DST_PORT] == nullptr) {
    return std::nullopt;
  }
  FlowKey key;
  switch (mnl_attr_get_u8(proto[CTA_PROTO_NUM])) {
    case IPPROTO_TCP:
      key.transport = Transport::tcp;
      break;
    case IPPROTO_UDP:
      key.transport = Transport::udp;
      break;
    default:
      return std::nullopt;
  }
  auto source = addressOf(ip[CTA_IP_V4_SRC] != nullptr ? ip[CTA_IP_V4_SRC] : ip[CTA_IP_V6_SRC]);
  auto destination = addressOf(ip[CTA_IP_V4_DST] != nullptr ? ip[CTA_IP_V4_DST] : ip[CTA_IP_V6_DST]);
  if (!source || !destination) return std::nullopt;
  key.source = *source;
  key.destination = *destination;
  key.sourcePort = ntohs(mnl_attr_get_u16(proto[CTA_PROTO_SRC_PORT]));
  key.destinationPort = ntohs(mnl_attr_get_u16(proto[CTA_PROTO_DST_PORT]));
  return key;
}

// An entry to mark: its family and original tuple name it in the update.
struct Entry {
  std::uint8_t family = 0;
  std::vector<std::uint8_t> tuple;  // CTA_TUPLE_ORIG's payload, as dumped
  std::uint32_t mark = 0;           // the new mark
  bool blocked = false;
};

struct Dump {
  const std::function<bool(const FlowKey&)>& isBlocked;
  std::uint32_t verdict;
  std::vector<Entry> found;
};

int onEntry(const nlmsghdr* message, void* data) {
  auto& dump = *static_cast<Dump*>(data);
  Attributes top{};
  if (mnl_attr_parse(message, sizeof(nfgenmsg), indexAttribute, &top) < 0) return MNL_CB_OK;
  const nlattr* tuple = top[CTA_TUPLE_ORIG];
  if (tuple == nullptr) return MNL_CB_OK;
  std::uint32_t mark = top[CTA_MARK] != nullptr ? ntohl(mnl_attr_get_u32(top[CTA_MARK])) : 0;
  const std::uint32_t field = mark & marks::field;
  if (field == dump.verdict) return MNL_CB_OK;
  auto key = keyOf(tuple);
  const bool blocked = key && dump.isBlocked(*key);
  const bool stale = field != 0 && (field & marks::generationBits) == (dump.verdict & marks::generationBits);
  if (!blocked && !stale) return MNL_CB_OK;
  const auto* payload = static_cast<const std::uint8_t*>(mnl_attr_get_payload(tuple));
  const auto* general = static_cast<const nfgenmsg*>(mnl_nlmsg_get_payload(message));
  dump.found.push_back({general->nfgen_family,
                        std::vector<std::uint8_t>(payload, payload + mnl_attr_get_payload_len(tuple)),
                        (mark & ~marks::field) | (blocked ? dump.verdict : 0), blocked});
  return MNL_CB_OK;
}

}  // namespace

std::expected<std::size_t, std::string> markFlows(std::uint32_t verdict,
                                                  const std::function<bool(const FlowKey&)>& isBlocked) {
  std::unique_ptr<mnl_socket, SocketCloser> socket(mnl_socket_open(NETLINK_NETFILTER));
  if (!socket) return std::unexpected(failure("socket", errno));
  if (mnl_socket_bind(socket.get(), 0, MNL_SOCKET_AUTOPID) < 0) return std::unexpected(failure("bind", errno));
  const unsigned portId = mnl_socket_get_portid(socket.get());
  std::vector<char> buffer(32 * 1024);
  std::uint32_t seq = 1;

  // Every family's entries; marked after the dump, which one socket cannot interleave.
  nlmsghdr* request = putHeader(buffer.data(), IPCTNL_MSG_CT_GET, NLM_F_DUMP, AF_UNSPEC, seq);
  if (mnl_socket_sendto(socket.get(), request, request->nlmsg_len) < 0) return std::unexpected(failure("dump", errno));
  Dump dump{isBlocked, verdict, {}};
  for (;;) {
    ssize_t received = mnl_socket_recvfrom(socket.get(), buffer.data(), buffer.size());
    if (received < 0) return std::unexpected(failure("dump", errno));
    int run = mnl_cb_run(buffer.data(), static_cast<std::size_t>(received), seq, portId, onEntry, &dump);
    if (run < 0) return std::unexpected(failure("dump", errno));
    if (run == MNL_CB_STOP) break;
  }

  std::size_t marked = 0;
  for (const Entry& entry : dump.found) {
    nlmsghdr* update = putHeader(buffer.data(), IPCTNL_MSG_CT_NEW, NLM_F_ACK, entry.family, ++seq);
    mnl_attr_put(update, CTA_TUPLE_ORIG | NLA_F_NESTED, entry.tuple.size(), entry.tuple.data());
    mnl_attr_put_u32(update, CTA_MARK, htonl(entry.mark));
    if (mnl_socket_sendto(socket.get(), update, update->nlmsg_len) < 0) {
      return std::unexpected(failure("mark", errno));
    }
    ssize_t received = mnl_socket_recvfrom(socket.get(), buffer.data(), buffer.size());
    if (received < 0) return std::unexpected(failure("mark", errno));
    if (mnl_cb_run(buffer.data(), static_cast<std::size_t>(received), seq, portId, nullptr, nullptr) < 0) {
      // Gone meanwhile: nothing left to end.
      if (errno == ENOENT) continue;
      return std::unexpected(failure("mark", errno));
    }
    if (entry.blocked) ++marked;
  }
  return marked;
}

}  // namespace hushwall::filter
