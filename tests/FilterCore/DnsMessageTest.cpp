#include <gtest/gtest.h>

#include "FilterCore/DnsMessage.hpp"
#include "FilterFixtures.hpp"

namespace hushwall::filter {
namespace {

using testing::Bytes;
using testing::dnsQuery;
using testing::hex;

TEST(DnsMessageTest, ReadsQuestionsOfAQuery) {
  auto message = parseDnsMessage(dnsQuery("www.News.example", DnsType::https));
  ASSERT_TRUE(message);
  EXPECT_FALSE(message->isResponse);
  EXPECT_EQ(message->questions, (std::vector<DnsQuestion>{{"www.News.example", DnsType::https, 1}}));
}

TEST(DnsMessageTest, ReadsAddressRecordsThroughCompression) {
  // a.example: a CNAME record, then A and AAAA records, all named by pointers.
  const Bytes response =
      hex("abcd818000010003000000000161076578616d706c650000010001"
          "c00c000500010000003c0003016200"  // a CNAME, not an address: skipped
          "c00c00010001000000780004c0000201"
          "c00c001c0001000000780010200104b8000000000000000000000001");
  auto message = parseDnsMessage(response);
  ASSERT_TRUE(message);
  EXPECT_TRUE(message->isResponse);
  const std::uint8_t v6[16] = {0x20, 0x01, 0x04, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  EXPECT_EQ(message->addresses, (std::vector<DnsAddressRecord>{{"a.example", testing::v4(192, 0, 2, 1), 120},
                                                               {"a.example", IpAddress::v6(v6), 120}}));
}

TEST(DnsMessageTest, MalformedMessagesFailWithTheirCause) {
  const struct {
    const char* message;
    DnsError error;
  } rows[] = {
      {"abcd0100", DnsError::truncated},
      {"abcd01000001000000000000c00c00010001", DnsError::badName},      // points at itself
      {"abcd01000001000000000000c00e00010001", DnsError::badName},      // points forward
      {"abcd010000010000000000004061", DnsError::badName},              // reserved label type
      {"abcd0100000200000000000001610000010001", DnsError::truncated},  // two questions, one present
      {"abcd8100000100010000000001610000010001c00c0001000100000001000a7f", DnsError::truncated},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.message);
    EXPECT_EQ(parseDnsMessage(hex(row.message)).error(), row.error);
  }
  // A name of 128 one-letter labels is longer than 255 bytes.
  Bytes longName = hex("abcd01000001000000000000");
  for (int i = 0; i < 128; ++i) longName.insert(longName.end(), {1, 'a'});
  longName.insert(longName.end(), {0, 0, 1, 0, 1});
  EXPECT_EQ(parseDnsMessage(longName).error(), DnsError::badName);
}

TEST(DnsMessageTest, FailureAnswerEchoesTheQuestion) {
  const Bytes query = dnsQuery("news.example", DnsType::https);
  for (auto [failure, flags] : {std::pair{DnsFailure::refused, 0x85}, {DnsFailure::nameError, 0x83}}) {
    auto answer = failureAnswer(query, failure);
    ASSERT_TRUE(answer);
    Bytes expected = query;
    expected[2] = 0x81;                              // QR, RD kept
    expected[3] = static_cast<std::uint8_t>(flags);  // RA and the code
    EXPECT_EQ(*answer, expected);
  }
  EXPECT_FALSE(failureAnswer(hex("abcd01000000000000000000"), DnsFailure::refused));
  // Names whose pointers lead into the rewritten header or past the copied question.
  for (const char* crafted : {"010000000001000000000000c00000010001", "abcd010000010000000000000105c00d000100014100"}) {
    SCOPED_TRACE(crafted);
    EXPECT_TRUE(parseDnsMessage(hex(crafted)));
    EXPECT_EQ(failureAnswer(hex(crafted), DnsFailure::refused), std::unexpected(DnsError::badName));
  }
}

}  // namespace
}  // namespace hushwall::filter
