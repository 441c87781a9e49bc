#include "FilterCore/DnsMessage.hpp"

#include "FilterCore/ByteReader.hpp"

namespace hushwall::filter {

namespace {

constexpr std::size_t headerLength = 12;
constexpr std::size_t maxNameLength = 255;
constexpr std::uint16_t internetClass = 1;

// Reads the name starting at `at`, following compression pointers only
// backwards (so no loop can form), and returns where the name ends in place.
std::expected<std::size_t, DnsError> readName(std::span<const std::uint8_t> message, std::size_t at, std::string& out) {
  out.clear();
  std::size_t end = 0;  // set at the first pointer
  std::size_t wireLength = 1;
  while (true) {
    if (at >= message.size()) return std::unexpected(DnsError::truncated);
    std::uint8_t length = message[at];
    if ((length & 0xC0) == 0xC0) {
      if (at + 1 >= message.size()) return std::unexpected(DnsError::truncated);
      std::size_t target = (std::size_t{length & 0x3Fu} << 8) | message[at + 1];
      if (target >= at) return std::unexpected(DnsError::badName);
      if (end == 0) end = at + 2;
      at = target;
      continue;
    }
    if ((length & 0xC0) != 0) return std::unexpected(DnsError::badName);
    if (length == 0) return end == 0 ? at + 1 : end;
    wireLength += length + 1u;
    if (wireLength > maxNameLength) return std::unexpected(DnsError::badName);
    if (at + 1 + length > message.size()) return std::unexpected(DnsError::truncated);
    if (!out.empty()) out += '.';
    out.append(reinterpret_cast<const char*>(message.data() + at + 1), length);
    at += 1 + length;
  }
}

}  // namespace

std::expected<DnsMessage, DnsError> parseDnsMessage(std::span<const std::uint8_t> message) {
  ByteReader header(message);
  DnsMessage parsed;
  parsed.id = header.u16();
  std::uint16_t flags = header.u16();
  std::uint16_t questions = header.u16();
  std::uint16_t answers = header.u16();
  if (!header.ok()) return std::unexpected(DnsError::truncated);
  parsed.isResponse = (flags & 0x8000) != 0;
  parsed.opcode = static_cast<std::uint8_t>((flags >> 11) & 0x0F);
  parsed.rcode = static_cast<std::uint8_t>(flags & 0x0F);

  std::size_t at = headerLength;
  if (message.size() < at) return std::unexpected(DnsError::truncated);
  for (std::uint16_t i = 0; i < questions; ++i) {
    DnsQuestion question;
    auto end = readName(message, at, question.name);
    if (!end) return std::unexpected(end.error());
    ByteReader r(message.subspan(*end));
    question.type = r.u16();
    question.klass = r.u16();
    if (!r.ok()) return std::unexpected(DnsError::truncated);
    at = *end + 4;
    parsed.questions.push_back(std::move(question));
  }
  if (!parsed.isResponse) return parsed;
  std::string owner;
  for (std::uint16_t i = 0; i < answers; ++i) {
    auto end = readName(message, at, owner);
    if (!end) return std::unexpected(end.error());
    ByteReader r(message.subspan(*end));
    std::uint16_t type = r.u16();
    std::uint16_t klass = r.u16();
    std::uint32_t ttl = r.u32();
    auto data = r.take(r.u16());
    if (!r.ok()) return std::unexpected(DnsError::truncated);
    at = *end + r.position();
    if (klass != internetClass) continue;
    if (type == DnsType::a && data.size() == 4) {
      parsed.addresses.push_back({owner, IpAddress::v4(data.first<4>()), ttl});
    } else if (type == DnsType::aaaa && data.size() == 16) {
      parsed.addresses.push_back({owner, IpAddress::v6(data.first<16>()), ttl});
    }
  }
  return parsed;
}

std::expected<std::vector<std::uint8_t>, DnsError> failureAnswer(std::span<const std::uint8_t> query,
                                                                 DnsFailure failure) {
  if (query.size() < headerLength) return std::unexpected(DnsError::truncated);
  std::string name;
  auto end = readName(query, headerLength, name);
  if (!end) return std::unexpected(end.error());
  if (*end + 4 > query.size() || (query[4] == 0 && query[5] == 0)) return std::unexpected(DnsError::truncated);
  // The first question is copied as sent, so the querier matches it byte for byte.
  std::vector<std::uint8_t> answer(query.begin(), query.begin() + static_cast<std::ptrdiff_t>(*end + 4));
  const std::uint8_t opcodeAndRecursion = query[2] & 0x79;  // opcode and RD
  answer[2] = static_cast<std::uint8_t>(0x80 | opcodeAndRecursion);
  answer[3] = static_cast<std::uint8_t>(0x80 | static_cast<std::uint8_t>(failure));
  answer[4] = 0;
  answer[5] = 1;
  for (std::size_t i = 6; i < headerLength; ++i) answer[i] = 0;
  // A pointer may lead into the header or past the question, which the answer rewrites or leaves out.
  std::string echoed;
  if (auto again = readName(answer, headerLength, echoed); !again || echoed != name) {
    return std::unexpected(DnsError::badName);
  }
  return answer;
}

}  // namespace hushwall::filter
