#include "HushwallCore/FilterRuleSet.hpp"
#include "fuzz/Input.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  (void)hushwall::FilterRuleSet::decode(hushwall::fuzz::text(data, size));
  return 0;
}
