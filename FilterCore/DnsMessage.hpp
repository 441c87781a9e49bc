// Reads DNS messages (questions, and the A and AAAA records of answers) and
// writes the fast-failing answer the filter gives to a blocked query. Pure and
// bounds-checked: compression loops, overlong names and counts that run past
// the message give a typed error.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "FilterCore/Packet.hpp"

namespace hushwall::filter {

namespace DnsType {
inline constexpr std::uint16_t a = 1;
inline constexpr std::uint16_t cname = 5;
inline constexpr std::uint16_t aaaa = 28;
inline constexpr std::uint16_t https = 65;
}  // namespace DnsType

struct DnsQuestion {
  std::string name;  // labels joined by ".", as sent, no trailing dot; "" for the root
  std::uint16_t type = 0;
  std::uint16_t klass = 0;
  friend bool operator==(const DnsQuestion&, const DnsQuestion&) = default;
};

// An address record of the answer section.
struct DnsAddressRecord {
  std::string owner;
  IpAddress address;
  std::uint32_t ttl = 0;
  friend bool operator==(const DnsAddressRecord&, const DnsAddressRecord&) = default;
};

struct DnsMessage {
  std::uint16_t id = 0;
  bool isResponse = false;
  std::uint8_t opcode = 0;
  std::uint8_t rcode = 0;
  std::vector<DnsQuestion> questions;
  std::vector<DnsAddressRecord> addresses;  // responses only
};

enum class DnsError {
  truncated,  // a section, name or record runs past the message
  badName,    // a compression loop or forward pointer, a reserved label type, over 255 bytes
};

[[nodiscard]] std::expected<DnsMessage, DnsError> parseDnsMessage(std::span<const std::uint8_t> message);

enum class DnsFailure : std::uint8_t {
  nameError = 3,  // NXDOMAIN: the name does not exist
  refused = 5,    // REFUSED: this server will not answer
};

// The answer to `query` that fails it at once: the query's ID, opcode, RD bit
// and first question, with QR and RA set, `failure` as the RCODE, and no
// records. Fails when the query does not parse or has no question, or when
// its name cannot be read from the question alone.
[[nodiscard]] std::expected<std::vector<std::uint8_t>, DnsError> failureAnswer(std::span<const std::uint8_t> query,
                                                                               DnsFailure failure);

}  // namespace hushwall::filter
