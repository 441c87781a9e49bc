#include "FilterCore/HttpRequest.hpp"
#include "fuzz/Input.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  (void)hushwall::filter::scanHttpRequest(hushwall::fuzz::bytes(data, size));
  return 0;
}
