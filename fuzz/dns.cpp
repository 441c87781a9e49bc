#include "FilterCore/DnsMessage.hpp"
#include "fuzz/Input.hpp"

using namespace hushwall;

// A failure answer, made from the first question alone, parses as the response to it.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  (void)filter::parseDnsMessage(fuzz::bytes(data, size));
  auto answer = filter::failureAnswer(fuzz::bytes(data, size), filter::DnsFailure::refused);
  if (!answer) return 0;
  auto parsed = filter::parseDnsMessage(*answer);
  fuzz::require(parsed && parsed->isResponse && parsed->id == (data[0] << 8 | data[1]) && parsed->rcode == 5 &&
                    parsed->questions.size() == 1,
                "a failure answer parses as the response to its query");
  return 0;
}
