#include <gtest/gtest.h>

#include "FilterCore/Packet.hpp"
#include "FilterCore/ReplyPacket.hpp"
#include "FilterCore/StreamAssembler.hpp"
#include "FilterFixtures.hpp"

namespace hushwall::filter {
namespace {

using testing::Bytes;
using testing::hex;
using testing::packetFrom;
using testing::text;

const std::uint8_t v6a[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
const std::uint8_t v6b[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x53};

// The ones' complement sum that a correct checksum brings to 0xFFFF.
std::uint16_t foldedSum(std::span<const std::uint8_t> bytes, std::uint32_t total) {
  for (std::size_t i = 0; i < bytes.size(); i += 2) total += bytes[i] << 8 | (i + 1 < bytes.size() ? bytes[i + 1] : 0);
  while (total >> 16) total = (total & 0xFFFF) + (total >> 16);
  return static_cast<std::uint16_t>(total);
}

TEST(PacketTest, ReplyRoundTripsWithValidChecksums) {
  const FlowKey keys[] = {
      {Transport::udp, testing::v4(10, 0, 0, 2), testing::v4(10, 0, 0, 53), 40000, 53},
      {Transport::tcp, IpAddress::v6(v6a), IpAddress::v6(v6b), 40001, 443},
  };
  for (const auto& key : keys) {
    SCOPED_TRACE(key.source.toString());
    const Bytes packet = packetFrom(key, text("hello"), TcpFlag::ack | TcpFlag::psh, 7000);
    auto view = parsePacket(packet);
    ASSERT_TRUE(view);
    EXPECT_EQ(view->key, key);
    EXPECT_EQ(Bytes(view->payload.begin(), view->payload.end()), text("hello"));

    const Bytes reply = replyPacket(*view, text("answer!"), TcpFlag::ack | TcpFlag::fin);
    auto back = parsePacket(reply);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->key, key.reversed());
    EXPECT_EQ(Bytes(back->payload.begin(), back->payload.end()), text("answer!"));
    const bool v4 = key.source.isV4();
    const std::size_t ipLength = v4 ? 20 : 40;
    if (v4) {
      EXPECT_EQ(foldedSum(std::span(reply).first(20), 0), 0xFFFF);
    }
    std::uint32_t pseudo =
        static_cast<std::uint32_t>(key.transport) + static_cast<std::uint32_t>(reply.size() - ipLength);
    pseudo += foldedSum(v4 ? std::span(reply).subspan(12, 8) : std::span(reply).subspan(8, 32), 0);
    EXPECT_EQ(foldedSum(std::span(reply).subspan(ipLength), pseudo), 0xFFFF);
    if (key.transport == Transport::tcp) {
      EXPECT_EQ(back->tcpSequence, view->tcpAcknowledgement);
      EXPECT_EQ(back->tcpAcknowledgement, 7000u + 5);
    }
  }
}

TEST(PacketTest, MalformedPacketsFailWithTheirCause) {
  const Bytes udp = packetFrom({Transport::udp, testing::v4(10, 0, 0, 2), testing::v4(10, 0, 0, 53), 1, 53}, text("x"));
  auto with = [&](std::size_t at, std::uint8_t value) {
    Bytes copy = udp;
    copy[at] = value;
    return copy;
  };
  // IPv6 with a hop-by-hop header before UDP parses; a fragment header with an offset does not.
  const Bytes hopByHop =
      hex("6000000000100040"
          "20010db8000000000000000000000002"
          "20010db8000000000000000000000053"
          "1100000000000000"
          "0001003500080000");
  const Bytes fragment =
      hex("600000000010"
          "2c40"
          "20010db8000000000000000000000002"
          "20010db8000000000000000000000053"
          "1100000800000001"
          "0001003500080000");
  EXPECT_EQ(parsePacket(hopByHop)->key.destinationPort, 53);
  const struct {
    Bytes packet;
    PacketError error;
  } rows[] = {
      {{}, PacketError::truncated},
      {with(0, 0x55), PacketError::badHeader},  // version 5
      {with(0, 0x44), PacketError::badHeader},  // header of 16 bytes
      {with(3, 0xFF), PacketError::truncated},  // total length past the end
      {with(7, 0x08), PacketError::notFirstFragment},
      {with(9, 1), PacketError::unsupportedTransport},
      {with(25, 4), PacketError::badHeader},  // UDP length under its header
      {Bytes(udp.begin(), udp.begin() + 24), PacketError::truncated},
      {fragment, PacketError::notFirstFragment},
  };
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(parsePacket(rows[i].packet).error(), rows[i].error);
  }
}

TEST(StreamAssemblerTest, PiecesInAnyOrderWithinCapacity) {
  StreamAssembler stream(8);
  auto held = [&] { return std::string(stream.contiguous().begin(), stream.contiguous().end()); };
  auto add = [&](std::uint64_t offset, std::string_view piece) { return stream.add(offset, text(piece)); };
  EXPECT_EQ(add(4, "EFzz"), StreamAssembler::Added::stored);
  EXPECT_EQ(held(), "");
  EXPECT_EQ(add(0, "ABCDxx"), StreamAssembler::Added::stored);
  EXPECT_EQ(held(), "ABCDEFzz");  // the bytes first received are kept
  EXPECT_EQ(add(2, "CD"), StreamAssembler::Added::duplicate);
  EXPECT_EQ(add(6, "zzIJ"), StreamAssembler::Added::overflow);
  stream.consume(4);
  EXPECT_EQ(add(8, "IJ"), StreamAssembler::Added::stored);
  EXPECT_EQ(held(), "EFzzIJ");
  EXPECT_EQ(add(0, "AB"), StreamAssembler::Added::duplicate);
}

}  // namespace
}  // namespace hushwall::filter
