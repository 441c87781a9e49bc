// The daemon as a process, on a private bus: start-up to both names owned,
// the app's round trips beside the bus driver's own GetId, the time from a
// hosts-file tamper to the block being back (against the 250 ms debounce),
// and resident memory idle and with a 500-domain session.
//
// Run: build/bench/daemon_bench   (this binary is stamped as the app)
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <vector>

#include "DaemonClient.hpp"
#include "HushwallCore/HostsRegions.hpp"
#include "SandboxDaemon.hpp"
#include "support/TemporaryDirectory.hpp"

namespace hushwall::testing {
namespace {

using Clock = std::chrono::steady_clock;

SandboxDaemon& daemon() {
  static SandboxDaemon& instance = *new SandboxDaemon(HUSHWALL_BENCH_DAEMON, HUSHWALL_BENCH_ROOT);
  return instance;
}

DaemonClient& client() {
  (void)daemon();  // its private bus first: the client connects to it
  static DaemonClient& instance = *new DaemonClient();
  return instance;
}

// A fresh sandbox and a daemon started on it.
void restart() {
  daemon().kill(SIGKILL);
  std::filesystem::remove_all(daemon().stateDirectory());
  writeFile(daemon().hostsPath(), std::string(SandboxDaemon::initialHosts));
  if (!daemon().start()) std::abort();
}

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

void percentiles(benchmark::State& state, std::vector<double> samples) {
  if (samples.empty()) return;
  std::sort(samples.begin(), samples.end());
  auto at = [&](double q) { return samples[std::min(samples.size() - 1, static_cast<std::size_t>(q * samples.size()))]; };
  state.counters["p50_us"] = at(0.50);
  state.counters["p99_us"] = at(0.99);
}

std::string domains(int count) {
  std::string list = "[";
  for (int i = 0; i < count; ++i) list += (i ? ",\"d" : "\"d") + std::to_string(i) + ".example.com\"";
  return list + "]";
}

std::string startRequest(int domainCount) {
  return R"({"domains":)" + domains(domainCount) + R"(,"duration":3600})";
}

long residentKilobytes(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
  }
  return -1;
}

void BM_ProcessStartToBothNamesOwned(benchmark::State& state) {
  (void)client();
  std::vector<double> samples;
  for (auto _ : state) {
    state.PauseTiming();
    daemon().kill(SIGKILL);
    state.ResumeTiming();
    auto begun = Clock::now();
    if (!daemon().start()) state.SkipWithError("the daemon did not start");
    double took = micros(Clock::now() - begun);
    samples.push_back(took);
    state.SetIterationTime(took / 1e6);
  }
  percentiles(state, samples);
}
BENCHMARK(BM_ProcessStartToBothNamesOwned)->UseManualTime()->Iterations(30)->Unit(benchmark::kMillisecond);

void roundTrips(benchmark::State& state, const std::function<bool()>& call) {
  restart();
  std::vector<double> samples;
  for (auto _ : state) {
    auto begun = Clock::now();
    if (!call()) state.SkipWithError("the call failed");
    double took = micros(Clock::now() - begun);
    samples.push_back(took);
    state.SetIterationTime(took / 1e6);
  }
  percentiles(state, samples);
}

void BM_BusDriverGetId(benchmark::State& state) {
  roundTrips(state, [] { return client().busID().has_value(); });
}
BENCHMARK(BM_BusDriverGetId)->UseManualTime()->Iterations(2000)->Unit(benchmark::kMicrosecond);

void BM_HealthCheck(benchmark::State& state) {
  roundTrips(state, [] { return client().call("HealthCheck").has_value(); });
}
BENCHMARK(BM_HealthCheck)->UseManualTime()->Iterations(2000)->Unit(benchmark::kMicrosecond);

// Each start needs a daemon without a session: a fresh one per iteration, outside the timing.
void BM_StartSession(benchmark::State& state) {
  std::string request = startRequest(static_cast<int>(state.range(0)));
  std::vector<double> samples;
  for (auto _ : state) {
    state.PauseTiming();
    restart();
    state.ResumeTiming();
    auto begun = Clock::now();
    if (!client().call("StartSession", request)) state.SkipWithError("the start failed");
    double took = micros(Clock::now() - begun);
    samples.push_back(took);
    state.SetIterationTime(took / 1e6);
  }
  percentiles(state, samples);
}
BENCHMARK(BM_StartSession)->Arg(1)->Arg(500)->UseManualTime()->Iterations(40)->Unit(benchmark::kMicrosecond);

void BM_TamperToRepair(benchmark::State& state) {
  restart();
  if (!client().call("StartSession", startRequest(1))) std::abort();
  std::string blocked = readFile(daemon().hostsPath());
  std::vector<double> samples;
  for (auto _ : state) {
    auto begun = Clock::now();
    writeFile(daemon().hostsPath(), std::string(SandboxDaemon::initialHosts));
    bool repaired = waitUntil([&] { return readFile(daemon().hostsPath()) == blocked; }, std::chrono::seconds(5),
                              std::chrono::milliseconds(1));
    if (!repaired) state.SkipWithError("not repaired");
    double took = micros(Clock::now() - begun);
    samples.push_back(took);
    state.SetIterationTime(took / 1e6);
  }
  percentiles(state, samples);
  state.counters["debounce_ratio"] = samples.empty() ? 0 : samples[samples.size() / 2] / 250e3;
}
BENCHMARK(BM_TamperToRepair)->UseManualTime()->Iterations(20)->Unit(benchmark::kMillisecond);

void BM_ResidentMemory(benchmark::State& state) {
  restart();
  long idle = 0;
  long blocking = 0;
  for (auto _ : state) {
    idle = residentKilobytes(daemon().pid());
    if (!client().call("StartSession", startRequest(500))) state.SkipWithError("the start failed");
    blocking = residentKilobytes(daemon().pid());
  }
  state.counters["idle_kB"] = static_cast<double>(idle);
  state.counters["session500_kB"] = static_cast<double>(blocking);
}
BENCHMARK(BM_ResidentMemory)->Iterations(1);

}  // namespace
}  // namespace hushwall::testing
