// The network filter's per-packet cost: FlowEngine::decide on the first packet
// of a new flow of each kind, against two baselines measured in the same run:
// copying the packet's bytes (the least a queue reader does) and parsing only
// its IP and transport headers. Then the memory of 10,000 tracked flows, as
// heap bytes in use per flow.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <string>
#include <vector>

#include "FilterCore/DnsMessage.hpp"
#include "FilterCore/FlowEngine.hpp"
#include "FilterFixtures.hpp"

namespace hushwall::filter {
namespace {

using testing::Bytes;

constexpr std::size_t distinctFlows = 4096;

FlowRules fiftyRules() {
  std::vector<std::string> domains;
  for (int i = 0; i < 50; ++i) domains.push_back("blocked" + std::to_string(i) + ".example");
  domains.push_back("news.example");
  return FlowRules(domains);
}

// The same payload on `count` flows that differ in their source port.
std::vector<Bytes> onDistinctFlows(Transport transport, std::uint16_t port, const Bytes& payload,
                                   std::size_t count = distinctFlows) {
  std::vector<Bytes> packets;
  for (std::size_t i = 0; i < count; ++i) {
    FlowKey key{transport, testing::v4(10, 0, static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)),
                testing::v4(192, 0, 2, 10), static_cast<std::uint16_t>(20000 + i), port};
    packets.push_back(testing::packetFrom(key, payload, TcpFlag::ack | TcpFlag::psh));
  }
  return packets;
}

// curl's ClientHello, whole in one segment.
Bytes tlsFirstSegment() { return testing::fixture("tls-curl.bin"); }

const Bytes httpRequest = testing::text(
    "GET /index.html HTTP/1.1\r\nHost: www.unrelated.example\r\nUser-Agent: curl/7.88.1\r\nAccept: */*\r\n\r\n");

// Each packet opens a new flow; the engine is replaced, untimed, once every flow has been seen.
void decideEach(benchmark::State& state, const std::vector<Bytes>& packets) {
  auto engine = std::make_unique<FlowEngine>();
  engine->setRules(fiftyRules());
  std::size_t index = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(engine->decide(packets[index], Instant{}));
    if (++index == packets.size()) {
      state.PauseTiming();
      index = 0;
      engine = std::make_unique<FlowEngine>();
      engine->setRules(fiftyRules());
      state.ResumeTiming();
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_Baseline_CopyPacket(benchmark::State& state) {
  const auto packets = onDistinctFlows(Transport::tcp, 443, tlsFirstSegment());
  std::size_t index = 0;
  for (auto _ : state) {
    Bytes copy(packets[index]);
    benchmark::DoNotOptimize(copy.data());
    index = (index + 1) % packets.size();
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_Baseline_ParseHeaders(benchmark::State& state) {
  const auto packets = onDistinctFlows(Transport::tcp, 443, tlsFirstSegment());
  std::size_t index = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(parsePacket(packets[index]));
    index = (index + 1) % packets.size();
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_Decide_TlsFirstSegment(benchmark::State& state) {
  decideEach(state, onDistinctFlows(Transport::tcp, 443, tlsFirstSegment()));
}

void BM_Decide_HttpRequest(benchmark::State& state) {
  decideEach(state, onDistinctFlows(Transport::tcp, 80, httpRequest));
}

void BM_Decide_QuicInitial(benchmark::State& state) {
  decideEach(state, onDistinctFlows(Transport::udp, 443, testing::fixture("quic-v1-rfc9001.bin")));
}

void BM_Decide_DnsQueryAllowed(benchmark::State& state) {
  decideEach(state, onDistinctFlows(Transport::udp, 53, testing::dnsQuery("www.unrelated.example", DnsType::a)));
}

void BM_Decide_DnsQueryBlocked(benchmark::State& state) {
  decideEach(state, onDistinctFlows(Transport::udp, 53, testing::dnsQuery("www.news.example", DnsType::https)));
}

// Heap bytes held per flow once 10,000 flows are tracked: decided flows keep a
// name; undecided ones (a SYN seen) hold their reassembly state too.
void BM_Memory_TenThousandFlows(benchmark::State& state) {
  const bool decided = state.range(0) == 1;
  const auto packets = decided ? onDistinctFlows(Transport::tcp, 443, tlsFirstSegment(), 10'000)
                               : onDistinctFlows(Transport::tcp, 443, {}, 10'000);
  std::vector<Bytes> opening;
  if (!decided) {
    for (const auto& packet : packets) {
      auto view = parsePacket(packet);
      opening.push_back(testing::packetFrom(view->key, {}, TcpFlag::syn));
    }
  }
  double perFlow = 0;
  for (auto _ : state) {
    const std::size_t before = mallinfo2().uordblks;
    FlowEngine engine;
    engine.setRules(fiftyRules());
    for (const auto& packet : decided ? packets : opening) benchmark::DoNotOptimize(engine.decide(packet, Instant{}));
    perFlow = static_cast<double>(mallinfo2().uordblks - before) / static_cast<double>(engine.flowCount());
  }
  state.counters["bytes_per_flow"] = perFlow;
  state.SetLabel(decided ? "decided, with names" : "undecided, SYN seen");
}

BENCHMARK(BM_Baseline_CopyPacket);
BENCHMARK(BM_Baseline_ParseHeaders);
BENCHMARK(BM_Decide_TlsFirstSegment);
BENCHMARK(BM_Decide_HttpRequest);
BENCHMARK(BM_Decide_QuicInitial);
BENCHMARK(BM_Decide_DnsQueryAllowed);
BENCHMARK(BM_Decide_DnsQueryBlocked);
BENCHMARK(BM_Memory_TenThousandFlows)->Arg(1)->Arg(0)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace hushwall::filter
