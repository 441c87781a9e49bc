// The readers of what a flow's first bytes say: IP packets, DNS, TLS, HTTP and
// QUIC Initials, on captured and crafted bytes.
#include <gtest/gtest.h>

#include "FilterCore/DnsMessage.hpp"
#include "FilterCore/HttpRequest.hpp"
#include "FilterCore/QuicInitial.hpp"
#include "FilterCore/TlsClientHello.hpp"
#include "FilterFixtures.hpp"

namespace hushwall::filter {
namespace {

using testing::Bytes, testing::fixture, testing::hex, testing::packetFrom, testing::text, testing::v4, testing::with;
using Status = NameScan::Status;

TEST(Packet, MalformedPacketsFailWithTheirCause) {
  const Bytes udp = packetFrom({Transport::udp, v4(10, 0, 0, 2), v4(10, 0, 0, 53), 1, 53}, text("x"));
  // IPv6 with a hop-by-hop header before UDP parses; a fragment header with an offset does not.
  const std::string v6Addresses = "20010db800000000000000000000000220010db8000000000000000000000053";
  EXPECT_EQ(
      parsePacket(hex("6000000000100040" + v6Addresses + "11000000000000000001003500080000"))->key.destinationPort, 53);
  // clang-format off
  const struct { Bytes packet; PacketError error; } rows[] = {
      {{}, PacketError::truncated},
      {with(udp, 0, 0x55), PacketError::badHeader},  // version 5
      {with(udp, 0, 0x44), PacketError::badHeader},  // header of 16 bytes
      {with(udp, 3, 0xFF), PacketError::truncated},  // total length past the end
      {with(udp, 7, 0x08), PacketError::notFirstFragment},
      {with(udp, 9, 1), PacketError::unsupportedTransport},
      {with(udp, 25, 4), PacketError::badHeader},  // UDP length under its header
      {Bytes(udp.begin(), udp.begin() + 24), PacketError::truncated},
      {hex("6000000000102c40" + v6Addresses + "11000008000000010001003500080000"), PacketError::notFirstFragment},
  };
  // clang-format on
  for (std::size_t i = 0; i < std::size(rows); ++i) EXPECT_EQ(parsePacket(rows[i].packet).error(), rows[i].error) << i;
}

// A message that fails to parse says why; a query gets no failure answer when it has no question, or when its names'
// pointers lead into the rewritten header or past the copied question. The answers themselves are checked with the
// verdicts.
TEST(DnsMessage, MalformedMessagesFailWithTheirCauseAndGetNoFailureAnswer) {
  Bytes longName = hex("abcd01000001000000000000");  // 128 one-letter labels: over 255 bytes
  for (int i = 0; i < 128; ++i) longName.insert(longName.end(), {1, 'a'});
  longName.insert(longName.end(), {0, 0, 1, 0, 1});
  // clang-format off
  const struct { Bytes message; DnsError error; } rows[] = {
      {hex("abcd0100"), DnsError::truncated},
      {hex("abcd01000001000000000000c00c00010001"), DnsError::badName},      // points at itself
      {hex("abcd01000001000000000000c00e00010001"), DnsError::badName},      // points forward
      {hex("abcd010000010000000000004061"), DnsError::badName},              // reserved label type
      {hex("abcd0100000200000000000001610000010001"), DnsError::truncated},  // two questions, one present
      {hex("abcd8100000100010000000001610000010001c00c0001000100000001000a7f"), DnsError::truncated},
      {longName, DnsError::badName},
  };
  // clang-format on
  for (const auto& row : rows) EXPECT_EQ(parseDnsMessage(row.message).error(), row.error);
  EXPECT_FALSE(failureAnswer(hex("abcd01000000000000000000"), DnsFailure::refused));
  for (const char* crafted : {"010000000001000000000000c00000010001", "abcd010000010000000000000105c00d000100014100"}) {
    EXPECT_TRUE(parseDnsMessage(hex(crafted)));
    EXPECT_EQ(failureAnswer(hex(crafted), DnsFailure::refused), std::unexpected(DnsError::badName));
  }
}

// However segments or records split a hello, every prefix asks for more and the whole is read.
TEST(TlsClientHello, CapturedHellosAreReadOnlyWhenWhole) {
  // The curl hello cut into two records, of 100 bytes and the rest. (Whole, it is read in the flow engine's tests.)
  const Bytes curl = fixture("tls-curl.bin");
  const auto rest = static_cast<std::uint16_t>(curl.size() - 105);
  Bytes records = with(with(curl, 3, 0), 4, 100);
  records.insert(records.begin() + 105,
                 {0x16, 0x03, 0x01, static_cast<std::uint8_t>(rest >> 8), static_cast<std::uint8_t>(rest)});
  const std::pair<Bytes, const char*> rows[] = {
      {fixture("tls-chromium.bin"), "www.news.example"},  // with a post-quantum key share: 1988 bytes
      {records, "www.news.example"},
      {fixture("tls-openssl.bin"), "News.Example"},
  };
  for (const auto& [hello, name] : rows) {
    SCOPED_TRACE(hello.size());
    EXPECT_EQ(scanTlsRecords(hello), (NameScan{Status::complete, name}));
    for (std::size_t n = 0; n < hello.size(); ++n)
      ASSERT_EQ(scanTlsRecords(std::span(hello).first(n)).status, Status::needMore) << n;
  }
}

// A flow's first bytes, read as the flow engine reads them: as TLS records when they start with a handshake
// record, else as an HTTP request. (A stream that is neither, such as SSH, is in the verdict table.)
TEST(NameScan, HostTable) {
  const auto tls = scanTlsRecords, http = scanHttpRequest;
  // clang-format off
  const struct { NameScan (*scan)(std::span<const std::uint8_t>); Bytes bytes; Status status; std::optional<std::string> host = {}; } rows[] = {
      {http, text("GET / HTTP/1.1\r\nUser-Agent: x\r\nHost: News.Example:8080\r\n\r\n"), Status::complete, "News.Example"},
      {http, text("GET http://a.example/x HTTP/1.1\r\nHost: b.example\r\n\r\n"), Status::complete, "a.example"},
      {http, text("OPTIONS * HTTP/1.1\nhost:\t[::1]:80 \n\n"), Status::complete, "::1"},
      {http, text("GET / HTTP/1.0\r\n\r\n"), Status::complete},
      {http, text("GET / HTTP/1.1\r\nHost: x.example\r\n"), Status::needMore},
      {http, text("GET / HTTP/2\r\n\r\n"), Status::invalid},
      {http, text("GET / HTTP/1.1\r\nno colon\r\n\r\n"), Status::invalid},
      {tls, {0x16, 0x02}, Status::invalid},                                               // not TLS 1.x
      {tls, {0x17, 0x03, 0x03, 0x00, 0x10}, Status::invalid},                             // application data
      {tls, {0x16, 0x03, 0x03, 0x00, 0x06, 0x02, 0, 0, 2, 3, 3}, Status::invalid},        // a ServerHello
      {tls, {0x16, 0x03, 0x01, 0x00, 0x08, 0x01, 0, 0, 4, 3, 3, 0, 0}, Status::invalid},  // a ClientHello too short for its random
  };
  // clang-format on
  for (std::size_t i = 0; i < std::size(rows); ++i)
    EXPECT_EQ(rows[i].scan(rows[i].bytes), (NameScan{rows[i].status, rows[i].host})) << i;
}

// No prefix of an Initial opens: its protection covers the whole packet. What a damaged or truncated Initial gets
// is in the verdict table.
TEST(QuicInitial, NoPrefixOpens) {
  const Bytes packet = fixture("quic-v1-rfc9001.bin");
  const auto keys = *QuicInitialKeys::derive(QuicVersion::v1, hex("8394c8f03e515708"));  // the RFC sample's ID
  for (std::size_t n = 0; n < packet.size(); ++n)
    ASSERT_FALSE(openClientInitials(std::span(packet).first(n), keys)) << n;
}

}  // namespace
}  // namespace hushwall::filter
