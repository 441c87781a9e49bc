#include "FilterService/CompatQueue.hpp"

// The C library's socket headers go before the kernel's, which defer to them.
#include <netinet/in.h>

#include <libmnl/libmnl.h>
#include <libnftnl/batch.h>
#include <libnftnl/chain.h>
#include <libnftnl/expr.h>
#include <libnftnl/rule.h>
#include <libnftnl/table.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/xt_NFQUEUE.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace hushwall::filter {

namespace {

constexpr const char* tableName = "hushwall_queue";

TableError failure(std::string what, int error) {
  return TableError{"compat queue table: " + what + ": " + std::strerror(error)};
}

// Appends one message built by `build` to the batch and counts it.
template <typename Build>
void add(mnl_nlmsg_batch* batch, std::uint32_t& seq, int& messages, Build build) {
  build(static_cast<char*>(mnl_nlmsg_batch_current(batch)), seq++);
  mnl_nlmsg_batch_next(batch);
  ++messages;
}

nftnl_expr* expression(const char* name) { return nftnl_expr_alloc(name); }

}  // namespace

std::expected<std::unique_ptr<CompatQueue>, TableError> CompatQueue::open(std::uint16_t queueNumber,
                                                                          std::uint32_t markBit) {
  mnl_socket* socket = mnl_socket_open(NETLINK_NETFILTER);
  if (socket == nullptr) return std::unexpected(failure("netlink socket", errno));
  std::unique_ptr<CompatQueue> made(new CompatQueue(socket));
  if (mnl_socket_bind(socket, 0, MNL_SOCKET_AUTOPID) < 0) return std::unexpected(failure("bind", errno));
  timeval timeout{2, 0};
  setsockopt(mnl_socket_get_fd(socket), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

  std::vector<char> buffer(MNL_SOCKET_BUFFER_SIZE * 4);
  mnl_nlmsg_batch* batch = mnl_nlmsg_batch_start(buffer.data(), buffer.size());
  std::uint32_t seq = 1;
  int acked = 0;
  nftnl_batch_begin(static_cast<char*>(mnl_nlmsg_batch_current(batch)), seq++);
  mnl_nlmsg_batch_next(batch);

  add(batch, seq, acked, [](char* at, std::uint32_t s) {
    nftnl_table* table = nftnl_table_alloc();
    nftnl_table_set_u32(table, NFTNL_TABLE_FAMILY, NFPROTO_INET);
    nftnl_table_set_str(table, NFTNL_TABLE_NAME, tableName);
    nftnl_table_set_u32(table, NFTNL_TABLE_FLAGS, NFT_TABLE_F_OWNER);
    nftnl_table_nlmsg_build_payload(
        nftnl_table_nlmsg_build_hdr(at, NFT_MSG_NEWTABLE, NFPROTO_INET, NLM_F_CREATE | NLM_F_ACK, s), table);
    nftnl_table_free(table);
  });
  const std::pair<const char*, std::uint32_t> hooks[] = {
      {"output", NF_INET_LOCAL_OUT}, {"forward", NF_INET_FORWARD}, {"input", NF_INET_LOCAL_IN}};
  for (auto [name, hook] : hooks) {
    add(batch, seq, acked, [name, hook](char* at, std::uint32_t s) {
      nftnl_chain* chain = nftnl_chain_alloc();
      nftnl_chain_set_str(chain, NFTNL_CHAIN_TABLE, tableName);
      nftnl_chain_set_str(chain, NFTNL_CHAIN_NAME, name);
      nftnl_chain_set_str(chain, NFTNL_CHAIN_TYPE, "filter");
      nftnl_chain_set_u32(chain, NFTNL_CHAIN_HOOKNUM, hook);
      nftnl_chain_set_s32(chain, NFTNL_CHAIN_PRIO, 0);
      nftnl_chain_nlmsg_build_payload(
          nftnl_chain_nlmsg_build_hdr(at, NFT_MSG_NEWCHAIN, NFPROTO_INET, NLM_F_CREATE | NLM_F_ACK, s), chain);
      nftnl_chain_free(chain);
    });
    add(batch, seq, acked, [name, queueNumber, markBit](char* at, std::uint32_t s) {
      nftnl_rule* rule = nftnl_rule_alloc();
      nftnl_rule_set_u32(rule, NFTNL_RULE_FAMILY, NFPROTO_INET);
      nftnl_rule_set_str(rule, NFTNL_RULE_TABLE, tableName);
      nftnl_rule_set_str(rule, NFTNL_RULE_CHAIN, name);
      // meta mark & markBit != 0
      nftnl_expr* meta = expression("meta");
      nftnl_expr_set_u32(meta, NFTNL_EXPR_META_KEY, NFT_META_MARK);
      nftnl_expr_set_u32(meta, NFTNL_EXPR_META_DREG, NFT_REG_1);
      nftnl_rule_add_expr(rule, meta);
      const std::uint32_t zero = 0;
      nftnl_expr* bitwise = expression("bitwise");
      nftnl_expr_set_u32(bitwise, NFTNL_EXPR_BITWISE_SREG, NFT_REG_1);
      nftnl_expr_set_u32(bitwise, NFTNL_EXPR_BITWISE_DREG, NFT_REG_1);
      nftnl_expr_set_u32(bitwise, NFTNL_EXPR_BITWISE_LEN, sizeof markBit);
      nftnl_expr_set(bitwise, NFTNL_EXPR_BITWISE_MASK, &markBit, sizeof markBit);
      nftnl_expr_set(bitwise, NFTNL_EXPR_BITWISE_XOR, &zero, sizeof zero);
      nftnl_rule_add_expr(rule, bitwise);
      nftnl_expr* cmp = expression("cmp");
      nftnl_expr_set_u32(cmp, NFTNL_EXPR_CMP_SREG, NFT_REG_1);
      nftnl_expr_set_u32(cmp, NFTNL_EXPR_CMP_OP, NFT_CMP_NEQ);
      nftnl_expr_set(cmp, NFTNL_EXPR_CMP_DATA, &zero, sizeof zero);
      nftnl_rule_add_expr(rule, cmp);
      // The expression takes the target's data over and frees it.
      auto* info = static_cast<xt_NFQ_info_v3*>(std::calloc(1, sizeof(xt_NFQ_info_v3)));
      info->queuenum = queueNumber;
      info->queues_total = 1;
      info->flags = NFQ_FLAG_BYPASS;
      nftnl_expr* target = expression("target");
      nftnl_expr_set_str(target, NFTNL_EXPR_TG_NAME, "NFQUEUE");
      nftnl_expr_set_u32(target, NFTNL_EXPR_TG_REV, 3);
      nftnl_expr_set(target, NFTNL_EXPR_TG_INFO, info, sizeof *info);
      nftnl_rule_add_expr(rule, target);
      nftnl_rule_nlmsg_build_payload(
          nftnl_rule_nlmsg_build_hdr(at, NFT_MSG_NEWRULE, NFPROTO_INET, NLM_F_APPEND | NLM_F_CREATE | NLM_F_ACK, s),
          rule);
      nftnl_rule_free(rule);
    });
  }
  nftnl_batch_end(static_cast<char*>(mnl_nlmsg_batch_current(batch)), seq++);
  mnl_nlmsg_batch_next(batch);
  if (mnl_socket_sendto(socket, mnl_nlmsg_batch_head(batch), mnl_nlmsg_batch_size(batch)) < 0) {
    mnl_nlmsg_batch_stop(batch);
    return std::unexpected(failure("send", errno));
  }
  mnl_nlmsg_batch_stop(batch);

  // Every message asked for an acknowledgement; an error ends the wait.
  std::vector<char> reply(MNL_SOCKET_BUFFER_SIZE);
  std::uint32_t portid = mnl_socket_get_portid(socket);
  while (acked > 0) {
    ssize_t received = mnl_socket_recvfrom(socket, reply.data(), reply.size());
    if (received < 0) return std::unexpected(failure("acknowledgement", errno));
    for (auto* message = reinterpret_cast<nlmsghdr*>(reply.data()); mnl_nlmsg_ok(message, static_cast<int>(received));
         message = mnl_nlmsg_next(message, reinterpret_cast<int*>(&received))) {
      if (message->nlmsg_type != NLMSG_ERROR || message->nlmsg_pid != portid) continue;
      const auto* error = static_cast<const nlmsgerr*>(mnl_nlmsg_get_payload(message));
      if (error->error != 0) return std::unexpected(failure("kernel", -error->error));
      --acked;
    }
  }
  return made;
}

CompatQueue::~CompatQueue() { mnl_socket_close(socket_); }

}  // namespace hushwall::filter
