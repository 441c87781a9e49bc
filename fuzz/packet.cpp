#include "FilterCore/FlowEngine.hpp"
#include "fuzz/Input.hpp"

// Every input is a packet the kernel queued, judged with the flows before it while something is blocked: whatever
// the verdict, nothing may read outside the packet or the engine's buffers.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static hushwall::filter::FlowEngine engine(hushwall::filter::FlowEngine::Limits{.maxFlows = 64});
  static hushwall::filter::Instant now;
  if (engine.rules().isEmpty()) engine.setRules(hushwall::FlowRules(std::vector<std::string>{"news.example"}));
  (void)engine.decide(hushwall::fuzz::bytes(data, size), now += std::chrono::milliseconds(10));
  return 0;
}
