// The network filter's judge: given each packet the kernel queues and the
// current time, it reads the name the flow is for (TLS SNI, HTTP Host, QUIC
// Initial SNI, DNS question), asks the rule set, and says what to do with the
// packet and what to record in the flow's conntrack mark. It also remembers
// which name every flow it saw and every address a DNS answer gave is for, so
// that when a block starts the caller can end the connections already open.
//
// Pure: no system calls; time is passed in and only compared. Memory is
// bounded by FlowEngine::Limits: the oldest flows and names give way to new
// ones. Not thread-safe: one thread calls every member (the queue's).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "FilterCore/DnsMessage.hpp"
#include "FilterCore/Packet.hpp"
#include "HushwallCore/FlowRules.hpp"

namespace hushwall::filter {

using Instant = std::chrono::steady_clock::time_point;

struct Decision {
  // What to do with this packet.
  enum class Action {
    accept,
    reset,   // drop it and reset the TCP connection
    reject,  // drop it and answer ICMP port unreachable
    answer,  // drop it and send `reply` instead
    hold,    // leave it unanswered: the flow's next decision settles it too (the
             // caller passes it then unless the flow is blocked), or the deadline
  };
  // What to record in the flow's conntrack mark.
  enum class Mark {
    none,     // undecided: queue its next packet here too
    allowed,  // decided: let the rest of the flow pass without queueing
    blocked,  // decided: drop or reset the rest of the flow without queueing
  };
  // Where `name` was read.
  enum class Source { none, tlsServerName, httpHost, quicServerName, dnsQuestion };

  Action action = Action::accept;
  Mark mark = Mark::none;
  Source source = Source::none;
  std::string name;                 // as read, not normalised; empty when none was read
  std::vector<std::uint8_t> reply;  // Action::answer only: a whole IP packet to the packet's sender

  friend bool operator==(const Decision&, const Decision&) = default;
};

// Log text of a decision's parts: the enumerator's name ("reset", "tlsServerName").
[[nodiscard]] std::string_view caseName(Decision::Action action);
[[nodiscard]] std::string_view caseName(Decision::Mark mark);
[[nodiscard]] std::string_view caseName(Decision::Source source);

class FlowEngine {
 public:
  struct Limits {
    std::size_t maxFlows = 10'000;
    std::size_t maxStreamBytes = 16 * 1024;          // per flow, from its first byte
    std::size_t maxBufferedBytes = 8 * 1024 * 1024;  // of all flows' reassembly together
    std::size_t maxAddressNames = 10'000;            // address-to-name pairs from DNS answers, newest kept
    std::chrono::seconds undecidedIdle{30};          // an undecided flow with no packet for this long is forgotten
    DnsFailure dnsFailure = DnsFailure::refused;
  };

  // Counts since construction.
  struct Stats {
    std::uint64_t packets = 0;
    std::uint64_t flowsAllowed = 0;
    std::uint64_t flowsBlocked = 0;    // reset or rejected
    std::uint64_t queriesBlocked = 0;  // DNS queries answered with a failure
    std::uint64_t flowsUnread = 0;     // allowed because no name could be read
    std::uint64_t flowsEvicted = 0;    // forgotten to make room, before a decision
    friend bool operator==(const Stats&, const Stats&) = default;
  };

  FlowEngine();
  explicit FlowEngine(Limits limits);
  ~FlowEngine();
  FlowEngine(FlowEngine&&) noexcept;
  FlowEngine& operator=(FlowEngine&&) noexcept;

  // Replaces the rule set. Decisions made before stay; every later decision,
  // and every answer of blockedNameFor, uses the new one.
  void setRules(FlowRules rules);
  [[nodiscard]] const FlowRules& rules() const;

  // Judges one IP packet, as the netfilter queue delivers it, at `now`.
  //  - TCP: accept without a mark until the first payload bytes; then read a
  //    TLS ClientHello or an HTTP request, waiting (accept, no mark) while a
  //    prefix of one is held, up to maxStreamBytes. A blocked name resets the
  //    flow; any other outcome, a name allowed or none readable, allows it.
  //    To or from port 53 it is DNS: each query is judged as over UDP, and
  //    one for a blocked name is answered by a failure that also closes the
  //    connection (Action::answer, Mark::blocked).
  //  - UDP to or from port 53: a query for a blocked name, of any type, is
  //    answered with a failure (Mark::none: the socket may ask again); a
  //    response's A and AAAA records are remembered as names of their
  //    addresses; otherwise accept without a mark.
  //  - Other UDP is read as QUIC: Initials are opened and their CRYPTO frames
  //    reassembled until the ClientHello is whole (accept, no mark, while
  //    waiting; hold instead while the rules block anything, so that no part
  //    of a blocked name's ClientHello leaves). A blocked name rejects the
  //    flow. While the rules block anything, a packet that claims to be an
  //    Initial but cannot be opened, or a long header of an unknown version,
  //    is rejected too, so the program falls back to TCP; otherwise the flow
  //    is allowed.
  //  - A packet that is not IP carrying TCP or UDP: accept, no mark.
  // A packet of a flow already decided here is judged again by the name it
  // was decided on, under the current rules; a SYN on its addresses and
  // ports starts a new flow instead.
  [[nodiscard]] Decision decide(std::span<const std::uint8_t> ipPacket, Instant now);

  // The blocked name `key`'s connection is for under the current rules, if
  // any: the name its flow was seen for, or, for a flow not seen or seen
  // without a name, any name a DNS answer gave its destination address (an
  // address shared by several sites may so end an allowed one's connection,
  // which then reconnects and is judged by its own name). `key` is as the
  // client sends (local to remote for the caller's own sockets).
  [[nodiscard]] std::optional<std::string> blockedNameFor(const FlowKey& key) const;

  // Forgets undecided flows idle since before `now - undecidedIdle`. decide()
  // does this as it goes; the caller may also call it from a timer.
  void expire(Instant now);

  [[nodiscard]] Stats stats() const;
  // Flows remembered now, decided or not.
  [[nodiscard]] std::size_t flowCount() const;
  // Bytes held in reassembly buffers now.
  [[nodiscard]] std::size_t bufferedBytes() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace hushwall::filter
