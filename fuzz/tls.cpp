#include "FilterCore/TlsClientHello.hpp"
#include "fuzz/Input.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  (void)hushwall::filter::scanTlsRecords(hushwall::fuzz::bytes(data, size));
  (void)hushwall::filter::scanHandshake(hushwall::fuzz::bytes(data, size));
  return 0;
}
