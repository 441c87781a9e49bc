#include "HushwallCore/FilterReport.hpp"
#include "fuzz/Input.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  (void)hushwall::FilterReport::decode(hushwall::fuzz::text(data, size));
  return 0;
}
