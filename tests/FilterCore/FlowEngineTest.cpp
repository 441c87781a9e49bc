#include <gtest/gtest.h>

#include "FilterCore/DnsMessage.hpp"
#include "FilterCore/FlowEngine.hpp"
#include "FilterFixtures.hpp"

namespace hushwall::filter {
namespace {

using namespace testing;  // the shared packet builders
using Action = Decision::Action;
using Mark = Decision::Mark;

const Instant start{};
const FlowKey tcpFlow{Transport::tcp, v4(10, 0, 0, 2), v4(192, 0, 2, 10), 40000, 443};
const FlowKey udpFlow{Transport::udp, v4(10, 0, 0, 2), v4(192, 0, 2, 10), 40001, 443};
const FlowKey dnsFlow{Transport::udp, v4(10, 0, 0, 2), v4(10, 0, 0, 53), 40002, 53};

// A connection's SYN, then `stream` cut at `cuts` into segments, sent in `order`.
std::vector<Bytes> segments(const Bytes& stream, std::vector<std::size_t> cuts, std::vector<int> order = {},
                            const FlowKey& key = tcpFlow) {
  cuts.insert(cuts.begin(), 0);
  cuts.push_back(stream.size());
  std::vector<Bytes> packets = {packetFrom(key, {}, TcpFlag::syn, 1000)};
  for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
    std::size_t n = order.empty() ? i : static_cast<std::size_t>(order[i]);
    Bytes piece(stream.begin() + static_cast<std::ptrdiff_t>(cuts[n]),
                stream.begin() + static_cast<std::ptrdiff_t>(cuts[n + 1]));
    packets.push_back(packetFrom(key, piece, TcpFlag::ack, 1001 + static_cast<std::uint32_t>(cuts[n])));
  }
  return packets;
}

// The ones' complement sum that a correct checksum brings to 0xFFFF.
std::uint16_t foldedSum(std::span<const std::uint8_t> bytes, std::uint32_t total = 0) {
  for (std::size_t i = 0; i < bytes.size(); i += 2) total += bytes[i] << 8 | (i + 1 < bytes.size() ? bytes[i + 1] : 0);
  while (total >> 16) total = (total & 0xFFFF) + (total >> 16);
  return static_cast<std::uint16_t>(total);
}

TEST(FlowEngine, VerdictTable) {
  const Bytes chromium = fixture("tls-chromium.bin");
  const std::vector<std::string> news = {"news.example"};
  auto quic = [](const char* file) { return packetFrom(udpFlow, fixture(file)); };
  // Chromium's ClientHello spans two Initials whose CRYPTO frames are out of
  // order; the first is resent later with its bytes cut into other frames.
  // While anything is blocked, the Initials before the whole ClientHello are held.
  const Bytes chromium1 = quic("quic-chromium-1.bin"), chromium2 = quic("quic-chromium-2.bin");
  const Bytes rfc = fixture("quic-v1-rfc9001.bin");
  const FlowKey dns6{Transport::udp, v6(2), v6(0x53), 40004, 53}, dnsTcp{Transport::tcp, v6(2), v6(0x53), 40003, 53};
  // On one TCP connection, an unrelated query, then a blocked one split across segments.
  Bytes framed = dnsQuery("news.example.org", DnsType::a), blocked = dnsQuery("news.example", DnsType::aaaa);
  framed.insert(framed.begin(), {0, static_cast<std::uint8_t>(framed.size())});
  framed.insert(framed.end(), {0, static_cast<std::uint8_t>(blocked.size())});
  framed.insert(framed.end(), blocked.begin(), blocked.end());
  // A later segment over bytes already held, the name's among them, rewrites nothing.
  auto overlapped = segments(chromium, {100, 300}, {1, 0, 2});
  overlapped.insert(overlapped.begin() + 2, packetFrom(tcpFlow, Bytes(200, 'x'), TcpFlag::ack, 1101));
  // clang-format off
  const struct { const char* what; std::vector<std::string> rules; std::vector<Bytes> packets; Action action; Mark mark; const char* name; Action before = Action::accept; /* of every packet but the last */ FlowEngine::Limits limits = {}; } rows[] = {
      {"TLS, one segment", news, segments(chromium, {}), Action::reset, Mark::blocked, "www.news.example"},
      {"TLS, three segments, last first", news, segments(chromium, {3, 1200}, {2, 0, 1}), Action::reset, Mark::blocked, "www.news.example"},
      {"TLS, a later overlapping segment", news, overlapped, Action::reset, Mark::blocked, "www.news.example"},
      {"TLS allowed", {"other.example", "ws.example"}, segments(chromium, {700}), Action::accept, Mark::allowed, "www.news.example"},
      {"HTTP, trailing dot", news, segments(text("GET / HTTP/1.1\r\nHost: WWW.NEWS.EXAMPLE.\r\n\r\n"), {5}), Action::reset, Mark::blocked, "WWW.NEWS.EXAMPLE."},
      {"TLS past the stream limit", news, segments(chromium, {500}), Action::accept, Mark::allowed, "", Action::accept, {.maxStreamBytes = 512}},
      {"TCP without a name", news, segments(text("SSH-2.0-OpenSSH_9.2\r\n"), {}), Action::accept, Mark::allowed, ""},
      {"QUIC v1", {"example.com"}, {packetFrom(udpFlow, rfc)}, Action::reject, Mark::blocked, "example.com"},
      {"QUIC v2 allowed", news, {quic("quic-v2-rfc9369.bin")}, Action::accept, Mark::allowed, "example.com"},
      {"QUIC split", news, {chromium1, chromium2}, Action::reject, Mark::blocked, "video.news.example", Action::hold},
      {"QUIC split, resent", news, {chromium1, quic("quic-chromium-3.bin"), chromium2}, Action::reject, Mark::blocked, "video.news.example", Action::hold},
      {"QUIC split, allowed", {"other.example"}, {chromium1, chromium2}, Action::accept, Mark::allowed, "video.news.example", Action::hold},
      {"QUIC damaged, blocking", news, {packetFrom(udpFlow, with(rfc, 200, rfc[200] ^ 0xFF))}, Action::reject, Mark::blocked, ""},
      {"QUIC truncated, blocking", news, {packetFrom(udpFlow, Bytes(rfc.begin(), rfc.begin() + 600))}, Action::reject, Mark::blocked, ""},
      {"QUIC unknown version, blocking", news, {packetFrom(udpFlow, with(rfc, 4, 0x1d))}, Action::reject, Mark::blocked, ""},
      {"QUIC connection ID too long, blocking", news, {packetFrom(udpFlow, with(rfc, 5, 21))}, Action::reject, Mark::blocked, ""},
      {"UDP that is not QUIC", news, {packetFrom(udpFlow, text("\x40hello"))}, Action::accept, Mark::allowed, ""},
      {"DNS A", news, {packetFrom(dnsFlow, dnsQuery("news.example", DnsType::a))}, Action::answer, Mark::none, "news.example"},
      {"DNS HTTPS over IPv6", news, {packetFrom(dns6, dnsQuery("WWW.news.example", DnsType::https))}, Action::answer, Mark::none, "WWW.news.example"},
      {"DNS unrelated", news, {packetFrom(dnsFlow, dnsQuery("news.example.org", DnsType::a))}, Action::accept, Mark::none, ""},
      {"DNS over TCP", news, segments(framed, {40}, {}, dnsTcp), Action::answer, Mark::blocked, "news.example"},
  };
  // clang-format on
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    FlowEngine engine(row.limits);
    engine.setRules(FlowRules(row.rules));
    for (std::size_t i = 0; i + 1 < row.packets.size(); ++i) {
      Decision waiting;
      waiting.action = row.before;
      EXPECT_EQ(engine.decide(row.packets[i], start), waiting) << "packet " << i;
    }
    Decision decision = engine.decide(row.packets.back(), start);
    EXPECT_EQ(std::tuple(decision.action, decision.mark, decision.name), std::tuple(row.action, row.mark, row.name));
    EXPECT_EQ(decision.reply.empty(), row.action != Action::answer);
    if (row.action != Action::answer) continue;
    // The query's sender gets a refusal of that query, in a packet with valid checksums.
    const auto query = parsePacket(row.packets.back());
    auto reply = parsePacket(decision.reply);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->key, query->key.reversed());
    const std::span<const std::uint8_t> bytes = decision.reply;
    const bool isV4 = reply->key.source.isV4(), tcp = reply->key.transport == Transport::tcp;
    const std::size_t ipLength = isV4 ? 20 : 40;
    EXPECT_EQ(isV4 ? foldedSum(bytes.first(20)) : 0xFFFF, 0xFFFF);  // IPv6 has no header checksum
    auto pseudo = foldedSum(bytes.subspan(isV4 ? 12 : 8, isV4 ? 8 : 32),
                            static_cast<std::uint32_t>(reply->key.transport) + bytes.size() - ipLength);
    EXPECT_EQ(foldedSum(bytes.subspan(ipLength), pseudo), 0xFFFF);
    if (tcp) {
      EXPECT_EQ(std::pair(reply->tcpSequence, reply->tcpAcknowledgement),
                std::pair(query->tcpAcknowledgement, query->tcpSequence + std::uint32_t(query->payload.size())));
    }
    auto answer = parseDnsMessage(reply->payload.subspan(tcp ? 2 : 0));
    ASSERT_TRUE(answer);
    EXPECT_EQ(std::tuple(answer->isResponse, answer->rcode, answer->questions.at(0).name),
              std::tuple(true, static_cast<std::uint8_t>(DnsFailure::refused), row.name));
  }
}

// Connections opened before a block must be found when it starts: by the name
// their flow showed, or else by what DNS said their address is.
TEST(FlowEngine, BlockFindsConnectionsAlreadyOpen) {
  FlowEngine engine;
  for (const auto& packet : segments(fixture("tls-curl.bin"), {})) (void)engine.decide(packet, start);
  // old.example: a CNAME (not an address: skipped), then A 192.0.2.11 and AAAA 2001:db8::11, named by pointers.
  const Bytes response =
      hex("abcd81800001000300000000036f6c64076578616d706c650000010001c00c000500010000003c0003016200"
          "c00c00010001000000780004c000020bc00c001c000100000078001020010db8000000000000000000000011");
  (void)engine.decide(packetFrom(dnsFlow.reversed(), response), start);
  engine.setRules(FlowRules(std::vector<std::string>{"news.example", "old.example"}));
  EXPECT_EQ(engine.blockedNameFor(tcpFlow), "www.news.example");
  EXPECT_EQ(engine.blockedNameFor({Transport::tcp, v4(10, 0, 0, 2), v4(192, 0, 2, 11), 39000, 443}), "old.example");
  EXPECT_EQ(engine.blockedNameFor({Transport::tcp, v6(2), v6(0x11), 39002, 443}), "old.example");
  EXPECT_EQ(engine.blockedNameFor({Transport::tcp, v4(10, 0, 0, 2), v4(192, 0, 2, 99), 39001, 443}), std::nullopt);
  // A packet of the flow allowed before is now reset. (A new connection on its ports is read afresh: the enforcer's
  // rows show it.)
  EXPECT_EQ(engine.decide(packetFrom(tcpFlow, text("more"), TcpFlag::ack, 5000), start).action, Action::reset);
}

// Flows past the limit push out the oldest; undecided ones leave when idle.
TEST(FlowEngine, FlowsStayWithinTheirLimit) {
  FlowEngine engine(FlowEngine::Limits{.maxFlows = 2});
  for (FlowKey key = tcpFlow; key.sourcePort < 40003; ++key.sourcePort)
    (void)engine.decide(packetFrom(key, {}, TcpFlag::syn), start);
  EXPECT_EQ(std::pair(engine.flowCount(), engine.stats().flowsEvicted), std::pair(2ul, 1ul));
  engine.expire(start + std::chrono::seconds(30));
  EXPECT_EQ(engine.flowCount(), 0u);
}

}  // namespace
}  // namespace hushwall::filter
