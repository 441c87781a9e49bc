#include "FilterCore/FlowEngine.hpp"

#include <list>
#include <unordered_map>
#include <utility>

#include "FilterCore/HttpRequest.hpp"
#include "FilterCore/QuicInitial.hpp"
#include "FilterCore/ReplyPacket.hpp"
#include "FilterCore/StreamAssembler.hpp"
#include "FilterCore/TlsClientHello.hpp"
#include "HushwallCore/CaseNames.hpp"

namespace hushwall::filter {

namespace {

constexpr std::uint16_t dnsPort = 53;
constexpr std::uint8_t tlsHandshakeRecord = 22;

using Action = Decision::Action;
using Mark = Decision::Mark;
using Source = Decision::Source;
constexpr CaseName<Action> actionNames[] = {{Action::accept, "accept"},
                                            {Action::reset, "reset"},
                                            {Action::reject, "reject"},
                                            {Action::answer, "answer"},
                                            {Action::hold, "hold"}};
constexpr CaseName<Mark> markNames[] = {{Mark::none, "none"}, {Mark::allowed, "allowed"}, {Mark::blocked, "blocked"}};
constexpr CaseName<Source> sourceNames[] = {{Source::none, "none"},
                                            {Source::tlsServerName, "tlsServerName"},
                                            {Source::httpHost, "httpHost"},
                                            {Source::quicServerName, "quicServerName"},
                                            {Source::dnsQuestion, "dnsQuestion"}};

Decision acceptOnly() { return {}; }

}  // namespace

struct FlowEngine::State {
  enum class Phase { undecided, allowed, blocked };

  // What an undecided flow holds while its first bytes arrive.
  struct Pending {
    explicit Pending(std::size_t capacity) : stream(capacity) {}
    StreamAssembler stream;
    std::uint32_t streamStart = 0;  // TCP: the sequence number of the first payload byte
    std::optional<QuicInitialKeys> quicKeys;
    std::vector<std::uint8_t> quicDestinationId;
  };

  struct Flow {
    FlowKey key;
    Instant lastSeen;
    Phase phase = Phase::undecided;
    // Blocked while the rules block anything, for want of a readable name.
    bool blockedUnread = false;
    Decision::Source source = Decision::Source::none;
    std::string name;
    std::unique_ptr<Pending> pending;
  };
  using FlowList = std::list<Flow>;

  struct AddressName {
    IpAddress address;
    std::string name;
  };
  using AddressNameList = std::list<AddressName>;

  Limits limits;
  FlowRules rules;
  Stats stats;
  // Each list is oldest-touched first; the index points into both.
  FlowList undecided;
  FlowList decided;
  std::unordered_map<FlowKey, FlowList::iterator, FlowKeyHash> index;
  AddressNameList addressNames;
  std::unordered_multimap<IpAddress, AddressNameList::iterator, IpAddressHash> addressIndex;
  std::size_t bufferedBytes = 0;

  explicit State(Limits l) : limits(l) {}

  [[nodiscard]] bool blocks(std::string_view name) const { return rules.verdict(name) == FlowRules::Verdict::block; }
  [[nodiscard]] bool blockingAnything() const { return !rules.isEmpty(); }

  // ---- the flow table

  std::optional<FlowList::iterator> find(const FlowKey& key) {
    auto found = index.find(key);
    if (found == index.end()) return std::nullopt;
    return found->second;
  }

  void forget(FlowList::iterator flow) {
    releaseBuffers(*flow);
    index.erase(flow->key);
    (flow->phase == Phase::undecided ? undecided : decided).erase(flow);
  }

  void releaseBuffers(Flow& flow) {
    if (!flow.pending) return;
    bufferedBytes -= flow.pending->stream.footprint();
    flow.pending.reset();
  }

  void makeRoom() {
    while (index.size() >= limits.maxFlows && !index.empty()) evictOldest();
  }

  void evictOldest() {
    bool takeUndecided =
        decided.empty() || (!undecided.empty() && undecided.front().lastSeen <= decided.front().lastSeen);
    if (takeUndecided) ++stats.flowsEvicted;
    forget(takeUndecided ? undecided.begin() : decided.begin());
  }

  FlowList::iterator addUndecided(const FlowKey& key, Instant now) {
    makeRoom();
    undecided.push_back(Flow{key, now, Phase::undecided, false, Decision::Source::none, {}, nullptr});
    auto flow = std::prev(undecided.end());
    flow->pending = std::make_unique<Pending>(limits.maxStreamBytes);
    index.emplace(key, flow);
    return flow;
  }

  void touch(FlowList::iterator flow, Instant now) {
    flow->lastSeen = now;
    auto& list = flow->phase == Phase::undecided ? undecided : decided;
    list.splice(list.end(), list, flow);
  }

  // Stores bytes in an undecided flow's stream and counts the memory it holds.
  void addToStream(Flow& flow, std::uint64_t offset, std::span<const std::uint8_t> bytes) {
    auto& stream = flow.pending->stream;
    bufferedBytes -= stream.footprint();
    stream.add(offset, bytes);
    bufferedBytes += stream.footprint();
  }

  // Over the budget, the longest-idle undecided flows give up their buffers,
  // and with them their place: `keep`, just touched, goes last.
  void keepBudget(const Flow& keep) {
    while (bufferedBytes > limits.maxBufferedBytes && !undecided.empty() && &undecided.front() != &keep) {
      ++stats.flowsEvicted;
      forget(undecided.begin());
    }
  }

  [[nodiscard]] bool streamIsFull(const Flow& flow) const {
    return flow.pending->stream.contiguous().size() >= limits.maxStreamBytes;
  }

  // ---- decisions

  // Records a decision on `flow` (known or not yet in the table) and returns it.
  Decision settle(std::optional<FlowList::iterator> flow, const FlowKey& key, Instant now, Decision::Source source,
                  std::optional<std::string> name, bool blockUnread, Decision::Action blockAction) {
    Decision decision;
    decision.source = name ? source : Decision::Source::none;
    if (name) decision.name = *name;
    const bool blocked = name ? blocks(*name) : blockUnread;
    decision.action = blocked ? blockAction : Decision::Action::accept;
    decision.mark = blocked ? Decision::Mark::blocked : Decision::Mark::allowed;
    if (blocked) {
      ++stats.flowsBlocked;
    } else {
      ++stats.flowsAllowed;
    }
    if (!name && !blocked) ++stats.flowsUnread;

    // Flows allowed without a name are not kept: nothing could later say they are blocked.
    const bool keep = name || blocked;
    if (flow && !keep) {
      forget(*flow);
      return decision;
    }
    if (!keep) return decision;
    FlowList::iterator entry;
    if (flow) {
      entry = *flow;
      releaseBuffers(*entry);
      decided.splice(decided.end(), undecided, entry);
    } else {
      makeRoom();
      decided.push_back(Flow{key, now, Phase::undecided, false, Decision::Source::none, {}, nullptr});
      entry = std::prev(decided.end());
      index.emplace(key, entry);
    }
    entry->lastSeen = now;
    entry->phase = blocked ? Phase::blocked : Phase::allowed;
    entry->blockedUnread = !name && blocked;
    entry->source = decision.source;
    entry->name = decision.name;
    return decision;
  }

  // A decided flow's packet, judged again by its name under the current rules.
  Decision rejudge(FlowList::iterator flow, Instant now, Decision::Action blockAction) {
    touch(flow, now);
    Decision decision;
    decision.source = flow->source;
    decision.name = flow->name;
    const bool blocked = flow->blockedUnread ? blockingAnything() : blocks(flow->name);
    decision.action = blocked ? blockAction : Decision::Action::accept;
    decision.mark = blocked ? Decision::Mark::blocked : Decision::Mark::allowed;
    return decision;
  }

  // ---- DNS

  void rememberAddresses(const DnsMessage& response) {
    for (const auto& record : response.addresses) {
      const std::string& name = response.questions.empty() ? record.owner : response.questions.front().name;
      if (name.empty()) continue;
      auto [first, last] = addressIndex.equal_range(record.address);
      bool known = false;
      for (auto it = first; it != last; ++it) {
        if (it->second->name == name) {
          addressNames.splice(addressNames.end(), addressNames, it->second);
          known = true;
          break;
        }
      }
      if (known) continue;
      if (addressNames.size() >= limits.maxAddressNames && !addressNames.empty()) forgetAddressName();
      addressNames.push_back(AddressName{record.address, name});
      addressIndex.emplace(record.address, std::prev(addressNames.end()));
    }
  }

  void forgetAddressName() {
    auto oldest = addressNames.begin();
    auto [first, last] = addressIndex.equal_range(oldest->address);
    for (auto it = first; it != last; ++it) {
      if (it->second == oldest) {
        addressIndex.erase(it);
        break;
      }
    }
    addressNames.pop_front();
  }

  // The blocked name a query asks for, if any.
  std::optional<std::string> blockedQuestion(const DnsMessage& query) const {
    if (query.isResponse || query.opcode != 0) return std::nullopt;
    for (const auto& question : query.questions) {
      if (blocks(question.name)) return question.name;
    }
    return std::nullopt;
  }

  Decision answerQuery(const PacketView& packet, std::span<const std::uint8_t> query, std::string name) {
    auto answer = failureAnswer(query, limits.dnsFailure);
    if (!answer) return acceptOnly();
    ++stats.queriesBlocked;
    Decision decision;
    decision.action = Decision::Action::answer;
    decision.source = Decision::Source::dnsQuestion;
    decision.name = std::move(name);
    if (packet.key.transport == Transport::udp) {
      decision.reply = replyPacket(packet, *answer, 0);
      return decision;
    }
    std::vector<std::uint8_t> payload;
    payload.reserve(2 + answer->size());
    payload.push_back(static_cast<std::uint8_t>(answer->size() >> 8));
    payload.push_back(static_cast<std::uint8_t>(answer->size()));
    payload.insert(payload.end(), answer->begin(), answer->end());
    decision.reply = replyPacket(packet, payload, TcpFlag::ack | TcpFlag::psh | TcpFlag::fin);
    decision.mark = Decision::Mark::blocked;
    return decision;
  }

  Decision decideDnsOverUdp(const PacketView& packet) {
    auto message = parseDnsMessage(packet.payload);
    if (!message) return acceptOnly();
    if (message->isResponse) {
      rememberAddresses(*message);
      return acceptOnly();
    }
    if (auto name = blockedQuestion(*message)) return answerQuery(packet, packet.payload, std::move(*name));
    return acceptOnly();
  }

  // Each query on a TCP connection is judged as it completes; answered ones
  // end the connection.
  Decision decideDnsOverTcp(FlowList::iterator flow, const PacketView& packet) {
    auto& stream = flow->pending->stream;
    while (true) {
      auto bytes = stream.contiguous();
      if (bytes.size() < 2) break;
      const std::size_t length = std::size_t{bytes[0]} << 8 | bytes[1];
      if (bytes.size() < 2 + length) break;
      auto query = bytes.subspan(2, length);
      if (auto message = parseDnsMessage(query)) {
        if (auto name = blockedQuestion(*message)) {
          Decision decision = answerQuery(packet, query, std::move(*name));
          forget(flow);
          ++stats.flowsBlocked;
          return decision;
        }
      }
      bufferedBytes -= stream.footprint();
      stream.consume(2 + length);
      bufferedBytes += stream.footprint();
    }
    if (streamIsFull(*flow)) forget(flow);
    return acceptOnly();
  }

  // ---- TCP

  Decision decideTcp(const PacketView& packet, Instant now) {
    auto flow = find(packet.key);
    const bool opening = (packet.tcpFlags & (TcpFlag::syn | TcpFlag::ack)) == TcpFlag::syn;
    // A SYN on a decided flow's addresses and ports is a new connection, to be read afresh.
    if (flow && opening && (*flow)->phase != Phase::undecided) {
      forget(*flow);
      flow.reset();
    }
    if (flow && (*flow)->phase != Phase::undecided) return rejudge(*flow, now, Decision::Action::reset);
    if ((packet.tcpFlags & TcpFlag::rst) != 0) {
      if (flow) forget(*flow);
      return acceptOnly();
    }
    if (!flow) {
      if (!opening && packet.payload.empty()) return acceptOnly();
      // The answering side of a flow is never what names it.
      if (index.contains(packet.key.reversed())) return acceptOnly();
      flow = addUndecided(packet.key, now);
      // Without the SYN, the first data seen is taken as the stream's start.
      (*flow)->pending->streamStart = opening ? packet.tcpSequence + 1 : packet.tcpSequence;
    }
    touch(*flow, now);
    if (packet.payload.empty()) return acceptOnly();
    auto& pending = *(*flow)->pending;
    addToStream(**flow, static_cast<std::uint32_t>(packet.tcpSequence - pending.streamStart), packet.payload);
    keepBudget(**flow);
    if (packet.key.destinationPort == dnsPort) return decideDnsOverTcp(*flow, packet);

    auto bytes = pending.stream.contiguous();
    if (bytes.empty()) return acceptOnly();
    const bool tls = bytes[0] == tlsHandshakeRecord;
    NameScan scan = tls ? scanTlsRecords(bytes) : scanHttpRequest(bytes);
    if (scan.status == NameScan::Status::needMore && !streamIsFull(**flow)) return acceptOnly();
    if (scan.status != NameScan::Status::complete) scan.name.reset();
    return settle(flow, packet.key, now, tls ? Decision::Source::tlsServerName : Decision::Source::httpHost,
                  std::move(scan.name), false, Decision::Action::reset);
  }

  // ---- QUIC

  // Opens an Initial with the flow's keys, or with keys from its own
  // destination ID: a client keeps the keys of its first ID until a Retry
  // gives it a new one, and with it a new CRYPTO stream.
  std::expected<std::vector<CryptoFragment>, QuicError> openInitial(Flow& flow, const QuicLongHeader& header,
                                                                    std::span<const std::uint8_t> datagram) {
    auto& pending = *flow.pending;
    std::expected<std::vector<CryptoFragment>, QuicError> fragments = std::unexpected(QuicError::decryptFailed);
    if (pending.quicKeys && pending.quicKeys->version == header.version) {
      fragments = openClientInitials(datagram, *pending.quicKeys);
    }
    if (fragments || std::ranges::equal(pending.quicDestinationId, header.destinationId)) return fragments;
    auto keys = QuicInitialKeys::derive(header.version, header.destinationId);
    if (!keys) return std::unexpected(keys.error());
    auto opened = openClientInitials(datagram, *keys);
    if (!opened) return opened;
    if (pending.quicKeys) {
      bufferedBytes -= pending.stream.footprint();
      pending.stream = StreamAssembler(limits.maxStreamBytes);
    }
    pending.quicKeys = *keys;
    pending.quicDestinationId.assign(header.destinationId.begin(), header.destinationId.end());
    return opened;
  }

  Decision decideQuic(const PacketView& packet, Instant now) {
    auto flow = find(packet.key);
    if (flow && (*flow)->phase != Phase::undecided) return rejudge(*flow, now, Decision::Action::reject);
    if (!flow && index.contains(packet.key.reversed())) return acceptOnly();
    auto settleUnread = [&](bool blockUnread) {
      return settle(flow, packet.key, now, Decision::Source::none, std::nullopt, blockUnread, Decision::Action::reject);
    };

    auto header = peekLongHeader(packet.payload);
    // Not a long header at all: nothing in this flow will name it.
    if (!header && header.error() == QuicError::notLongHeader) return settleUnread(false);
    if (!header) return settleUnread(blockingAnything());
    if (!header->isInitial) {
      if (flow) touch(*flow, now);
      return acceptOnly();
    }
    if (!flow) flow = addUndecided(packet.key, now);
    touch(*flow, now);
    auto fragments = openInitial(**flow, *header, packet.payload);
    if (!fragments) return settleUnread(blockingAnything());
    for (const auto& fragment : *fragments) addToStream(**flow, fragment.offset, fragment.bytes);
    keepBudget(**flow);
    NameScan scan = scanHandshake((*flow)->pending->stream.contiguous());
    if (scan.status == NameScan::Status::needMore && !streamIsFull(**flow)) {
      Decision waiting;
      if (blockingAnything()) waiting.action = Decision::Action::hold;
      return waiting;
    }
    if (scan.status != NameScan::Status::complete) return settleUnread(blockingAnything());
    return settle(flow, packet.key, now, Decision::Source::quicServerName, std::move(scan.name), false,
                  Decision::Action::reject);
  }

  void expire(Instant now) {
    while (!undecided.empty() && now - undecided.front().lastSeen >= limits.undecidedIdle) forget(undecided.begin());
  }
};

std::string_view caseName(Decision::Action action) { return nameIn(actionNames, action); }
std::string_view caseName(Decision::Mark mark) { return nameIn(markNames, mark); }
std::string_view caseName(Decision::Source source) { return nameIn(sourceNames, source); }

FlowEngine::FlowEngine() : FlowEngine(Limits{}) {}
FlowEngine::FlowEngine(Limits limits) : state_(std::make_unique<State>(limits)) {}
FlowEngine::~FlowEngine() = default;
FlowEngine::FlowEngine(FlowEngine&&) noexcept = default;
FlowEngine& FlowEngine::operator=(FlowEngine&&) noexcept = default;

void FlowEngine::setRules(FlowRules rules) { state_->rules = std::move(rules); }
const FlowRules& FlowEngine::rules() const { return state_->rules; }

Decision FlowEngine::decide(std::span<const std::uint8_t> ipPacket, Instant now) {
  ++state_->stats.packets;
  state_->expire(now);
  auto packet = parsePacket(ipPacket);
  if (!packet) return acceptOnly();
  const bool dns = packet->key.destinationPort == dnsPort || packet->key.sourcePort == dnsPort;
  if (packet->key.transport == Transport::udp) {
    return dns ? state_->decideDnsOverUdp(*packet) : state_->decideQuic(*packet, now);
  }
  // A TCP DNS server's answers are not read: the address-to-name table comes from UDP answers.
  if (dns && packet->key.destinationPort != dnsPort) return acceptOnly();
  return state_->decideTcp(*packet, now);
}

std::optional<std::string> FlowEngine::blockedNameFor(const FlowKey& key) const {
  if (auto found = state_->index.find(key); found != state_->index.end() && !found->second->name.empty()) {
    const auto& name = found->second->name;
    return state_->blocks(name) ? std::optional(name) : std::nullopt;
  }
  auto [first, last] = state_->addressIndex.equal_range(key.destination);
  for (auto it = first; it != last; ++it) {
    if (state_->blocks(it->second->name)) return it->second->name;
  }
  return std::nullopt;
}

std::vector<NamedFlow> FlowEngine::blockedFlows() const {
  std::vector<NamedFlow> flows;
  for (const auto& flow : state_->decided) {
    if (!flow.name.empty() && state_->blocks(flow.name)) flows.push_back({flow.key, flow.name});
  }
  return flows;
}

void FlowEngine::expire(Instant now) { state_->expire(now); }
FlowEngine::Stats FlowEngine::stats() const { return state_->stats; }
std::size_t FlowEngine::flowCount() const { return state_->index.size(); }
std::size_t FlowEngine::bufferedBytes() const { return state_->bufferedBytes; }

}  // namespace hushwall::filter
