#include <gtest/gtest.h>

#include "FilterCore/DnsMessage.hpp"
#include "FilterCore/FlowEngine.hpp"
#include "FilterFixtures.hpp"

namespace hushwall::filter {
namespace {

using testing::Bytes;
using testing::fixture;
using testing::packetFrom;
using testing::text;
using testing::v4;
using Action = Decision::Action;
using Mark = Decision::Mark;

const Instant start{};
const FlowKey tcpFlow{Transport::tcp, v4(10, 0, 0, 2), v4(192, 0, 2, 10), 40000, 443};
const FlowKey udpFlow{Transport::udp, v4(10, 0, 0, 2), v4(192, 0, 2, 10), 40001, 443};
const FlowKey dnsFlow{Transport::udp, v4(10, 0, 0, 2), v4(10, 0, 0, 53), 40002, 53};
const std::uint8_t client6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
const std::uint8_t resolver6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x53};
const FlowKey dns6Flow{Transport::udp, IpAddress::v6(client6), IpAddress::v6(resolver6), 40004, 53};
const FlowKey dnsTcpFlow{Transport::tcp, v4(10, 0, 0, 2), v4(10, 0, 0, 53), 40003, 53};

FlowRules rulesFor(std::vector<std::string> domains) { return FlowRules(domains); }

// A connection's SYN, then `stream` cut at `cuts` into segments, sent in `order`.
std::vector<Bytes> segments(const Bytes& stream, std::vector<std::size_t> cuts, std::vector<int> order = {}) {
  cuts.insert(cuts.begin(), 0);
  cuts.push_back(stream.size());
  std::vector<Bytes> pieces;
  for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
    Bytes piece(stream.begin() + static_cast<std::ptrdiff_t>(cuts[i]),
                stream.begin() + static_cast<std::ptrdiff_t>(cuts[i + 1]));
    pieces.push_back(packetFrom(tcpFlow, piece, TcpFlag::ack, 1001 + static_cast<std::uint32_t>(cuts[i])));
  }
  std::vector<Bytes> packets = {packetFrom(tcpFlow, {}, TcpFlag::syn, 1000)};
  for (std::size_t i = 0; i < pieces.size(); ++i)
    packets.push_back(pieces[order.empty() ? i : static_cast<std::size_t>(order[i])]);
  return packets;
}

Bytes framed(const Bytes& query) {
  Bytes framed = {static_cast<std::uint8_t>(query.size() >> 8), static_cast<std::uint8_t>(query.size())};
  framed.insert(framed.end(), query.begin(), query.end());
  return framed;
}

Bytes damaged(Bytes packet) {
  packet[200] ^= 0xFF;
  return packet;
}

TEST(FlowEngineTest, VerdictTable) {
  const Bytes chromium = fixture("tls-chromium.bin");
  const std::vector<std::string> news = {"news.example"};
  auto quic = [](const char* file) { return packetFrom(udpFlow, fixture(file)); };
  auto dns = [](const char* name, std::uint16_t type) { return packetFrom(dnsFlow, testing::dnsQuery(name, type)); };
  // Chromium's ClientHello, with its post-quantum key share, spans two Initials
  // whose CRYPTO frames are scattered out of order; the first is resent later
  // with its bytes cut into other frames. While anything is blocked, the
  // Initials before the whole ClientHello are held.
  const Bytes chromium1 = quic("quic-chromium-1.bin");
  const Bytes chromium2 = quic("quic-chromium-2.bin");
  const Bytes resent1 = quic("quic-chromium-3.bin");
  const char* video = "video.news.example";
  const Bytes unreadableQuic = packetFrom(udpFlow, damaged(fixture("quic-v1-rfc9001.bin")));
  const std::vector<Bytes> dnsOverTcp = {
      packetFrom(dnsTcpFlow, {}, TcpFlag::syn, 1000),
      packetFrom(dnsTcpFlow, framed(testing::dnsQuery("news.example", DnsType::aaaa)), TcpFlag::ack, 1001)};
  const struct {
    const char* what;
    std::vector<std::string> rules;
    std::vector<Bytes> packets;
    Action action;
    Mark mark;
    const char* name;
    Action before = Action::accept;  // of every packet but the last
  } rows[] = {
      {"TLS, one segment", news, segments(chromium, {}), Action::reset, Mark::blocked, "www.news.example"},
      {"TLS, two", news, segments(chromium, {1400}), Action::reset, Mark::blocked, "www.news.example"},
      {"TLS, three, last first", news, segments(chromium, {3, 1200}, {2, 0, 1}), Action::reset, Mark::blocked,
       "www.news.example"},
      {"TLS, upper case", news, segments(fixture("tls-openssl.bin"), {}), Action::reset, Mark::blocked, "News.Example"},
      {"TLS allowed", {"other.example"}, segments(chromium, {700}), Action::accept, Mark::allowed, "www.news.example"},
      {"HTTP, trailing dot", news, segments(text("GET / HTTP/1.1\r\nHost: WWW.NEWS.EXAMPLE.\r\n\r\n"), {5}),
       Action::reset, Mark::blocked, "WWW.NEWS.EXAMPLE."},
      {"HTTP unrelated", news, segments(text("GET / HTTP/1.1\r\nHost: unrelated.example\r\n\r\n"), {}), Action::accept,
       Mark::allowed, "unrelated.example"},
      {"TCP without a name", news, segments(text("SSH-2.0-OpenSSH_9.2\r\n"), {}), Action::accept, Mark::allowed, ""},
      {"QUIC v1", {"example.com"}, {quic("quic-v1-rfc9001.bin")}, Action::reject, Mark::blocked, "example.com"},
      {"QUIC v2 allowed", news, {quic("quic-v2-rfc9369.bin")}, Action::accept, Mark::allowed, "example.com"},
      {"QUIC split", news, {chromium1, chromium2}, Action::reject, Mark::blocked, video, Action::hold},
      {"QUIC split, resent", news, {chromium1, resent1, chromium2}, Action::reject, Mark::blocked, video, Action::hold},
      {"QUIC split, idle", {}, {chromium1, chromium2}, Action::accept, Mark::allowed, video},
      {"QUIC unreadable, blocking", news, {unreadableQuic}, Action::reject, Mark::blocked, ""},
      {"QUIC unreadable, idle", {}, {unreadableQuic}, Action::accept, Mark::allowed, ""},
      {"UDP that is not QUIC", news, {packetFrom(udpFlow, text("\x40hello"))}, Action::accept, Mark::allowed, ""},
      {"DNS A", news, {dns("news.example", DnsType::a)}, Action::answer, Mark::none, "news.example"},
      {"DNS HTTPS", news, {dns("WWW.news.example", DnsType::https)}, Action::answer, Mark::none, "WWW.news.example"},
      {"DNS unrelated", news, {dns("news.example.org", DnsType::a)}, Action::accept, Mark::none, ""},
      {"DNS over TCP", news, dnsOverTcp, Action::answer, Mark::blocked, "news.example"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    FlowEngine engine;
    engine.setRules(rulesFor(row.rules));
    for (std::size_t i = 0; i + 1 < row.packets.size(); ++i) {
      Decision waiting;
      waiting.action = row.before;
      EXPECT_EQ(engine.decide(row.packets[i], start), waiting) << "packet " << i;
    }
    Decision decision = engine.decide(row.packets.back(), start);
    EXPECT_EQ(decision.action, row.action);
    EXPECT_EQ(decision.mark, row.mark);
    EXPECT_EQ(decision.name, row.name);
    EXPECT_EQ(decision.reply.empty(), row.action != Action::answer);
  }
}

TEST(FlowEngineTest, BlockedQueryIsAnsweredToItsSender) {
  FlowEngine engine;
  engine.setRules(rulesFor({"news.example"}));
  const Bytes query = testing::dnsQuery("news.example", DnsType::a);
  for (const auto& key : {dnsFlow, dns6Flow}) {
    SCOPED_TRACE(key.source.toString());
    const Decision decision = engine.decide(packetFrom(key, query), start);
    auto reply = parsePacket(decision.reply);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->key, key.reversed());
    auto answer = parseDnsMessage(reply->payload);
    ASSERT_TRUE(answer);
    EXPECT_TRUE(answer->isResponse);
    EXPECT_EQ(answer->rcode, static_cast<std::uint8_t>(DnsFailure::refused));
    EXPECT_EQ(answer->id, parseDnsMessage(query)->id);
  }
}

// Connections opened before a block must be found when it starts: by the name
// their flow showed, or else by what DNS said their address is.
TEST(FlowEngineTest, BlockFindsConnectionsAlreadyOpen) {
  FlowEngine engine;
  for (const auto& packet : segments(fixture("tls-curl.bin"), {})) (void)engine.decide(packet, start);
  const Bytes response = testing::hex(
      "abcd81800001000100000000086f6c642d6e657773"
      "076578616d706c650000010001"
      "c00c00010001000000780004c000020b");  // old-news.example A 192.0.2.11
  (void)engine.decide(packetFrom(dnsFlow.reversed(), response), start);
  const FlowKey openBefore{Transport::tcp, v4(10, 0, 0, 2), v4(192, 0, 2, 11), 39000, 443};
  const FlowKey elsewhere{Transport::tcp, v4(10, 0, 0, 2), v4(192, 0, 2, 99), 39001, 443};
  EXPECT_EQ(engine.blockedNameFor(tcpFlow), std::nullopt);
  EXPECT_TRUE(engine.blockedFlows().empty());

  engine.setRules(rulesFor({"news.example", "old-news.example"}));
  EXPECT_EQ(engine.blockedFlows(), (std::vector<NamedFlow>{{tcpFlow, "www.news.example"}}));
  EXPECT_EQ(engine.blockedNameFor(tcpFlow), "www.news.example");
  EXPECT_EQ(engine.blockedNameFor(openBefore), "old-news.example");
  EXPECT_EQ(engine.blockedNameFor(elsewhere), std::nullopt);
  // A packet of the flow allowed before is now reset.
  Decision later = engine.decide(packetFrom(tcpFlow, text("more"), TcpFlag::ack, 5000), start);
  EXPECT_EQ(later.action, Action::reset);
  EXPECT_EQ(later.mark, Mark::blocked);
  // The same addresses and ports reused by a new connection are read afresh.
  EXPECT_EQ(engine.decide(packetFrom(tcpFlow, {}, TcpFlag::syn, 9000), start), Decision{});
}

TEST(FlowEngineTest, MemoryStaysWithinItsLimits) {
  FlowEngine engine(FlowEngine::Limits{.maxFlows = 2, .maxStreamBytes = 512, .maxBufferedBytes = 1024});
  auto syn = [](std::uint16_t port) {
    return packetFrom({Transport::tcp, v4(10, 0, 0, 2), v4(192, 0, 2, 10), port, 443}, {}, TcpFlag::syn, 1000);
  };
  for (std::uint16_t port : {1, 2, 3}) (void)engine.decide(syn(port), start);
  EXPECT_EQ(engine.flowCount(), 2u);
  EXPECT_EQ(engine.stats().flowsEvicted, 1u);
  engine.expire(start + std::chrono::seconds(30));
  EXPECT_EQ(engine.flowCount(), 0u);

  // A hello longer than the stream limit is allowed unread, its buffer freed.
  const auto packets = segments(fixture("tls-chromium.bin"), {500, 1000});
  EXPECT_EQ(engine.decide(packets[1], start), Decision{});
  EXPECT_EQ(engine.decide(packets[2], start).mark, Mark::allowed);
  EXPECT_EQ(engine.stats().flowsUnread, 1u);
  EXPECT_EQ(engine.bufferedBytes(), 0u);
}

// Damaged copies of every captured packet, judged under blocking rules: any
// outcome will do, as long as nothing reads outside the packet (run under ASan).
TEST(FlowEngineTest, DamagedPacketsAreJudgedSafely) {
  FlowEngine engine;
  engine.setRules(rulesFor({"news.example"}));
  std::vector<Bytes> originals;
  for (const char* file : {"tls-chromium.bin", "quic-chromium-1.bin", "quic-v2-rfc9369.bin"}) {
    originals.push_back(packetFrom(tcpFlow, fixture(file)));
    originals.push_back(packetFrom(udpFlow, fixture(file)));
  }
  originals.push_back(
      packetFrom(dnsFlow.reversed(), testing::hex("abcd818000010001000000000161000001000100000001000a7f")));
  std::uint32_t seed = 1;
  for (int round = 0; round < 300; ++round) {
    for (Bytes packet : originals) {
      for (int flips = 0; flips < 4; ++flips) {
        seed = seed * 1103515245 + 12345;
        packet[seed % packet.size()] ^= static_cast<std::uint8_t>(seed >> 16);
      }
      packet.resize(packet.size() - (seed >> 8) % 64 % packet.size());
      (void)engine.decide(packet, start);
    }
  }
  EXPECT_EQ(engine.stats().packets, 300u * originals.size());
}

}  // namespace
}  // namespace hushwall::filter
