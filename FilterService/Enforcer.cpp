#include "FilterService/Enforcer.hpp"

#include <arpa/nameser.h>
#include <netdb.h>
#include <netinet/in.h>
#include <resolv.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <set>

#include "FilterService/FlowMarker.hpp"
#include "FilterService/Marks.hpp"
#include "FilterService/SocketReaper.hpp"
#include "HushwallCore/FlowRules.hpp"
#include "HushwallCore/Strings.hpp"

namespace hushwall::filter {

namespace {

std::optional<FlowKey> flowOf(std::span<const std::uint8_t> bytes) {
  auto parsed = parsePacket(bytes);
  return parsed ? std::optional(parsed->key) : std::nullopt;
}

PacketQueue::Verdict verdictFor(const Decision& decision) {
  using Verdict = PacketQueue::Verdict;
  if (decision.mark == Decision::Mark::blocked) return Verdict::blockFlow;
  switch (decision.action) {
    case Decision::Action::accept:
      return decision.mark == Decision::Mark::allowed ? Verdict::allowFlow : Verdict::accept;
    case Decision::Action::reset:
    case Decision::Action::reject:
      return Verdict::refusePacket;
    case Decision::Action::answer:
    case Decision::Action::hold:
      return Verdict::drop;
  }
  return Verdict::accept;
}

// The addresses DNS gives the blocked hosts and their www. forms now: where
// the connections a program opened before the filter saw their names lead.
// Asked of the resolvers directly, since the hosts file may already send
// these names to loopback. Bounded in time: the apply waits for it, and names
// not asked by then still end when their next request is judged.
std::set<IpAddress> currentAddresses(const std::vector<std::string>& hosts) {
  constexpr auto budget = std::chrono::seconds(2);
  std::set<IpAddress> found;
  struct __res_state resolver {};
  if (res_ninit(&resolver) != 0) return found;
  resolver.retrans = 1;
  resolver.retry = 1;
  auto until = std::chrono::steady_clock::now() + budget;
  std::vector<std::uint8_t> answer(4096);
  for (const std::string& host : hosts) {
    for (const std::string& name : {host, "www." + host}) {
      for (int type : {ns_t_a, ns_t_aaaa}) {
        if (std::chrono::steady_clock::now() >= until) {
          res_nclose(&resolver);
          return found;
        }
        int length = res_nquery(&resolver, name.c_str(), ns_c_in, type, answer.data(), static_cast<int>(answer.size()));
        if (length <= 0) continue;
        auto message = parseDnsMessage(std::span(answer.data(), static_cast<std::size_t>(length)));
        if (!message) continue;
        for (const DnsAddressRecord& record : message->addresses) found.insert(record.address);
      }
    }
  }
  res_nclose(&resolver);
  return found;
}

}  // namespace

std::expected<std::unique_ptr<Enforcer>, std::string> Enforcer::start(Options options) {
  std::unique_ptr<Enforcer> made(new Enforcer());
  made->rawV4_ = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
  made->rawV6_ = socket(AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
  made->deadline_ = options.deadline;
  Enforcer* self = made.get();
  // The queue first: its guard process must not inherit the table's socket.
  auto queue = PacketQueue::open(options.queueNumber, options.deadline,
                                 [self](PacketQueue::Packet packet) { self->judge(std::move(packet)); });
  if (!queue) return std::unexpected(queue.error().message);
  made->queue_ = std::move(*queue);
  auto table = FilterTable::open(options.queueNumber);
  if (!table) return std::unexpected(table.error().message);
  if (auto removed = (*table)->removeStale(); !removed) {
    return std::unexpected(cat("a table inet hushwall is held by another process: ", removed.error().message));
  }
  made->table_ = std::move(*table);
  return made;
}

Enforcer::~Enforcer() {
  if (table_) (void)table_->remove();
  table_.reset();
  queue_.reset();
  if (rawV4_ >= 0) close(rawV4_);
  if (rawV6_ >= 0) close(rawV6_);
}

void Enforcer::judge(PacketQueue::Packet packet) {
  Decision decision;
  {
    std::lock_guard lock(engineMutex_);
    decision = engine_.decide(packet.bytes, packet.received);
  }
  if (decision.action == Decision::Action::answer && !decision.reply.empty()) {
    auto parsed = parsePacket(decision.reply);
    if (parsed) {
      // The answer goes to the refused packet's sender, which is its destination here.
      const IpAddress& to = parsed->key.destination;
      if (to.isV4()) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        std::memcpy(&address.sin_addr, to.v4Octets().data(), 4);
        (void)sendto(rawV4_, decision.reply.data(), decision.reply.size(), 0, reinterpret_cast<sockaddr*>(&address),
                     sizeof address);
      } else {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        std::memcpy(&address.sin6_addr, to.bytes.data(), 16);
        (void)sendto(rawV6_, decision.reply.data(), decision.reply.size(), 0, reinterpret_cast<sockaddr*>(&address),
                     sizeof address);
      }
    }
  }
  auto key = held_.empty() && decision.action != Decision::Action::hold ? std::nullopt : flowOf(packet.bytes);
  if (key && decision.action == Decision::Action::hold) {
    packet.bytes.clear();
    held_[*key].push_back(std::move(packet));
    return;
  }
  if (key) {
    // Held until the flow was decided: passed in order ahead of this packet, unless it is blocked.
    if (auto found = held_.find(*key); found != held_.end() && decision.mark != Decision::Mark::none) {
      auto verdict =
          decision.mark == Decision::Mark::blocked ? PacketQueue::Verdict::drop : PacketQueue::Verdict::accept;
      for (const PacketQueue::Packet& waiting : found->second) (void)queue_->answer(waiting, verdict);
      held_.erase(found);
    }
    // The deadline has passed those of flows that went quiet.
    std::erase_if(held_, [&](const auto& entry) { return packet.received - entry.second.back().received > deadline_; });
  }
  (void)queue_->answer(packet, verdictFor(decision));
}

FilterFollower::Applied Enforcer::apply(const std::vector<std::string>& hosts) {
  FlowRules rules{std::span<const std::string>(hosts)};
  bool blocking = !rules.isEmpty();
  std::set<IpAddress> addresses = blocking ? currentAddresses(hosts) : std::set<IpAddress>{};
  {
    std::lock_guard lock(engineMutex_);
    engine_.setRules(rules);
  }
  if (!blocking) {
    if (auto removed = table_->remove(); !removed) {
      return {FilterReport::Outcome::applyFailed, cat("could not remove the table: ", removed.error().message)};
    }
    return {FilterReport::Outcome::applied, counters()};
  }
  if (auto installed = table_->install(); !installed) {
    return {FilterReport::Outcome::applyFailed, cat("could not install the table: ", installed.error().message)};
  }
  std::optional<std::string> endFailure;
  {
    // Packets wait meanwhile; the verdict deadline bounds how long.
    std::lock_guard lock(engineMutex_);
    auto isBlocked = [&](const FlowKey& key) {
      return addresses.contains(key.destination) || engine_.blockedNameFor(key).has_value();
    };
    // Forwarded flows have no socket here, and a kernel may refuse SOCK_DESTROY:
    // the blocked mark has the table reset what either leaves open.
    auto marked = markFlows(marks::decided(marks::blockFlow, table_->generation()), isBlocked);
    auto reaped = reapSockets(isBlocked);
    if (marked) flowsMarked_ += *marked;
    if (reaped) socketsClosed_ += reaped->destroyed;
    if (!marked || !reaped) endFailure = marked ? reaped.error() : marked.error();
  }
  if (endFailure) return {FilterReport::Outcome::applyFailed, cat("open connections stay: ", *endFailure)};
  return {FilterReport::Outcome::applied, counters()};
}

std::string Enforcer::counters() const {
  FlowEngine::Stats stats;
  std::uint64_t closed = 0;
  std::uint64_t marked = 0;
  {
    std::lock_guard lock(engineMutex_);
    stats = engine_.stats();
    closed = socketsClosed_;
    marked = flowsMarked_;
  }
  PacketQueue::Stats queued = queue_->stats();
  return cat("flows blocked ", stats.flowsBlocked, ", queries blocked ", stats.queriesBlocked, ", sockets closed ",
             closed, ", flows marked for reset ", marked, ", packets judged ", queued.received,
             ", verdicts at the deadline ", queued.expired);
}

bool Enforcer::responsive(std::chrono::milliseconds within) const {
  return std::chrono::steady_clock::now() - queue_->heartbeat() <= within;
}

}  // namespace hushwall::filter
