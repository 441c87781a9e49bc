#include <gtest/gtest.h>

#include "FilterCore/HttpRequest.hpp"
#include "FilterCore/TlsClientHello.hpp"
#include "FilterFixtures.hpp"

namespace hushwall::filter {
namespace {

using testing::Bytes;
using testing::fixture;
using testing::text;
using Status = NameScan::Status;

TEST(TlsClientHelloTest, CapturedHellosAreReadOnlyWhenWhole) {
  const struct {
    const char* file;
    const char* name;
  } rows[] = {
      {"tls-chromium.bin", "www.news.example"},  // with a post-quantum key share: 1988 bytes
      {"tls-curl.bin", "www.news.example"},
      {"tls-openssl.bin", "News.Example"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.file);
    const Bytes hello = fixture(row.file);
    EXPECT_EQ(scanTlsRecords(hello), (NameScan{Status::complete, row.name}));
    // However the segments split it, every prefix asks for more.
    for (std::size_t n = 0; n < hello.size(); ++n) {
      ASSERT_EQ(scanTlsRecords(std::span(hello).first(n)).status, Status::needMore) << n;
    }
  }
}

TEST(TlsClientHelloTest, HelloSpanningTwoRecordsIsJoined) {
  const Bytes hello = fixture("tls-curl.bin");
  const std::size_t cut = 100;
  const std::size_t rest = hello.size() - 5 - cut;
  Bytes records = {0x16, 0x03, 0x01, 0x00, static_cast<std::uint8_t>(cut)};
  records.insert(records.end(), hello.begin() + 5, hello.begin() + 5 + cut);
  records.insert(records.end(),
                 {0x16, 0x03, 0x01, static_cast<std::uint8_t>(rest >> 8), static_cast<std::uint8_t>(rest)});
  records.insert(records.end(), hello.begin() + 5 + static_cast<std::ptrdiff_t>(cut), hello.end());
  EXPECT_EQ(scanTlsRecords(records), (NameScan{Status::complete, "www.news.example"}));
  EXPECT_EQ(scanTlsRecords(std::span(records).first(records.size() - 1)).status, Status::needMore);
}

TEST(TlsClientHelloTest, OtherBytesAreInvalid) {
  const Bytes rows[] = {
      text("GET / HTTP/1.1\r\n"),
      {0x16, 0x02},                                               // not TLS 1.x
      {0x17, 0x03, 0x03, 0x00, 0x10},                             // application data
      {0x16, 0x03, 0x03, 0x00, 0x06, 0x02, 0, 0, 2, 3, 3},        // a ServerHello
      {0x16, 0x03, 0x01, 0x00, 0x08, 0x01, 0, 0, 4, 3, 3, 0, 0},  // a ClientHello too short for its random
  };
  for (const auto& row : rows) EXPECT_EQ(scanTlsRecords(row).status, Status::invalid);
}

TEST(HttpRequestTest, HostTable) {
  const struct {
    const char* request;
    Status status;
    std::optional<std::string> host;
  } rows[] = {
      {"GET / HTTP/1.1\r\nUser-Agent: x\r\nHost: News.Example:8080\r\n\r\n", Status::complete, "News.Example"},
      {"GET http://a.example/x HTTP/1.1\r\nHost: b.example\r\n\r\n", Status::complete, "a.example"},
      {"OPTIONS * HTTP/1.1\nhost:\t[::1]:80 \n\n", Status::complete, "::1"},
      {"GET / HTTP/1.0\r\n\r\n", Status::complete, std::nullopt},
      {"GET / HTTP/1.1\r\nHost: x.example\r\n", Status::needMore, std::nullopt},
      {"POS", Status::needMore, std::nullopt},
      {"SSH-2.0-OpenSSH_9.2\r\n", Status::invalid, std::nullopt},
      {"\x16\x03\x01", Status::invalid, std::nullopt},
      {"GET / HTTP/2\r\n\r\n", Status::invalid, std::nullopt},
      {"GET /\r\n\r\n", Status::invalid, std::nullopt},
      {"GET / HTTP/1.1\r\nno colon\r\n\r\n", Status::invalid, std::nullopt},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.request);
    EXPECT_EQ(scanHttpRequest(text(row.request)), (NameScan{row.status, row.host}));
  }
}

}  // namespace
}  // namespace hushwall::filter
