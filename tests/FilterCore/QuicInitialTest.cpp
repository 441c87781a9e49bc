#include <gtest/gtest.h>

#include "FilterCore/QuicInitial.hpp"
#include "FilterCore/TlsClientHello.hpp"
#include "FilterFixtures.hpp"

namespace hushwall::filter {
namespace {

using testing::Bytes;
using testing::fixture;
using testing::hex;

// The connection ID of both RFCs' sample packets.
const Bytes sampleId = hex("8394c8f03e515708");

template <std::size_t N>
Bytes bytesOf(const std::array<std::uint8_t, N>& a) {
  return Bytes(a.begin(), a.end());
}

TEST(QuicInitialTest, KeysMatchBothRfcSamples) {
  const struct {
    std::uint32_t version;
    const char *key, *iv, *hp;
  } rows[] = {
      {QuicVersion::v1, "1f369613dd76d5467730efcbe3b1a22d", "fa044b2f42a3fd3b46fb255c",
       "9f50449e04a0e810283a1e9933adedd2"},
      {QuicVersion::v2, "8b1a0bc121284290a29e0971b5cd045d", "91f73e2351d8fa91660e909f",
       "45b95e15235d6f45a6b19cbcb0294ba9"},
  };
  for (const auto& row : rows) {
    auto keys = QuicInitialKeys::derive(row.version, sampleId);
    ASSERT_TRUE(keys);
    EXPECT_EQ(bytesOf(keys->key), hex(row.key));
    EXPECT_EQ(bytesOf(keys->iv), hex(row.iv));
    EXPECT_EQ(bytesOf(keys->headerKey), hex(row.hp));
  }
  EXPECT_EQ(QuicInitialKeys::derive(0xff00001d, sampleId).error(), QuicError::unknownVersion);
}

TEST(QuicInitialTest, RfcSampleInitialsOpenToTheirClientHello) {
  for (auto [file, version] :
       {std::pair{"quic-v1-rfc9001.bin", QuicVersion::v1}, {"quic-v2-rfc9369.bin", QuicVersion::v2}}) {
    SCOPED_TRACE(file);
    const Bytes packet = fixture(file);
    auto header = peekLongHeader(packet);
    ASSERT_TRUE(header);
    EXPECT_TRUE(header->isInitial);
    EXPECT_EQ(Bytes(header->destinationId.begin(), header->destinationId.end()), sampleId);
    auto fragments = openClientInitials(packet, *QuicInitialKeys::derive(version, sampleId));
    ASSERT_TRUE(fragments);
    ASSERT_EQ(fragments->size(), 1u);
    EXPECT_EQ(fragments->front().offset, 0u);
    EXPECT_EQ(scanHandshake(fragments->front().bytes), (NameScan{NameScan::Status::complete, "example.com"}));
  }
}

TEST(QuicInitialTest, DamagedPacketsFailWithTheirCause) {
  const Bytes packet = fixture("quic-v1-rfc9001.bin");
  const auto keys = *QuicInitialKeys::derive(QuicVersion::v1, sampleId);
  Bytes flipped = packet;
  flipped[100] ^= 0x01;
  Bytes draft = packet;
  draft[4] = 0x1d;  // version 0x0000001d
  Bytes overlong = packet;
  overlong[5] = 21;  // connection ID length
  const struct {
    Bytes datagram;
    QuicError error;
  } rows[] = {
      {flipped, QuicError::decryptFailed},
      {Bytes(packet.begin(), packet.begin() + 600), QuicError::truncated},
      {draft, QuicError::unknownVersion},
      {overlong, QuicError::badHeader},
      {fixture("quic-v2-rfc9369.bin"), QuicError::unknownVersion},  // opened with v1 keys
      {hex("40aabbccdd"), QuicError::notLongHeader},
  };
  for (const auto& row : rows) EXPECT_EQ(openClientInitials(row.datagram, keys).error(), row.error);
  for (std::size_t n = 0; n < packet.size(); ++n)
    ASSERT_FALSE(openClientInitials(std::span(packet).first(n), keys)) << n;
}

}  // namespace
}  // namespace hushwall::filter
