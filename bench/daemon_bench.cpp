// The daemon as a process, on a private bus: start-up to both names owned,
// the app's round trips each beside the bus driver's own GetId, the first request
// that needs Unicode tables beside an ASCII one, the time from a hosts-file
// tamper to the block being back (against the 250 ms debounce), and memory
// idle and with a 500-domain session and 32 schedules.
//
// Run: build/bench/daemon_bench   (this binary is stamped as the app)
// To compare with another build of the same daemon in the same run, name its
// hushwalld-bench (built with this build's sandbox root) in
// HUSHWALL_BENCH_BASELINE; its rows are the "baseline:1" ones.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "E2E.hpp"
#include "HushwallCore/HostsRegions.hpp"
#include "support/ScheduleFixtures.hpp"
#include "support/TemporaryDirectory.hpp"

namespace hushwall::testing {
namespace {

using Clock = std::chrono::steady_clock;

SandboxDaemon& daemon() {
  static SandboxDaemon& instance = []() -> SandboxDaemon& {
    auto* created = new SandboxDaemon(HUSHWALL_BENCH_DAEMON, HUSHWALL_BENCH_ROOT);
    // Never destroyed, so that no benchmark outlives it; but no daemon outlives the run.
    std::atexit([] { daemon().kill(SIGKILL); });
    return *created;
  }();
  return instance;
}

AppClient& client() {
  (void)daemon();  // its private bus first: the client connects to it
  static AppClient& instance = *new AppClient();
  return instance;
}

// Argument 0 of every benchmark: 1 for the baseline daemon, 0 for this build's.
std::optional<std::string> executable(const benchmark::State& state) {
  if (state.range(0) == 0) return std::nullopt;
  return std::string(std::getenv("HUSHWALL_BENCH_BASELINE"));
}

// Argument 0 names the daemon; `more`, if given, is argument 1, named `name`.
void bothDaemons(benchmark::internal::Benchmark* b, const char* name = nullptr, std::vector<std::int64_t> more = {}) {
  std::vector<std::int64_t> variants{0};
  if (std::getenv("HUSHWALL_BENCH_BASELINE") != nullptr) variants.push_back(1);
  if (name == nullptr) {
    b->ArgsProduct({variants})->ArgNames({"baseline"});
  } else {
    b->ArgsProduct({variants, std::move(more)})->ArgNames({"baseline", name});
  }
}

// A fresh sandbox and a daemon started on it.
void restart(const benchmark::State& state) {
  daemon().kill(SIGKILL);
  std::filesystem::remove_all(daemon().stateDirectory);
  writeFile(daemon().hosts, std::string(SandboxDaemon::initialHosts));
  if (!daemon().start(executable(state))) std::abort();
}

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// The 50th and 99th percentiles, as counters named `prefix`p50_us and `prefix`p99_us.
std::pair<double, double> percentiles(benchmark::State& state, std::vector<double> samples,
                                      const std::string& prefix = "") {
  if (samples.empty()) return {0, 0};
  std::sort(samples.begin(), samples.end());
  auto at = [&](double q) {
    return samples[std::min(samples.size() - 1, static_cast<std::size_t>(q * samples.size()))];
  };
  state.counters[prefix + "p50_us"] = at(0.50);
  state.counters[prefix + "p99_us"] = at(0.99);
  return {at(0.50), at(0.99)};
}

std::string domains(int count) {
  std::string list = "[";
  for (int i = 0; i < count; ++i) list += (i ? ",\"d" : "\"d") + std::to_string(i) + ".example.com\"";
  return list + "]";
}

std::string startRequest(int domainCount) { return R"({"domains":)" + domains(domainCount) + R"(,"duration":3600})"; }

// The sum of the named fields of /proc/PID/smaps_rollup, in kB.
long memoryKilobytes(pid_t pid, std::initializer_list<std::string_view> fields) {
  std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
  long total = 0;
  for (std::string line; std::getline(rollup, line);) {
    for (auto field : fields) {
      if (line.starts_with(field) && line[field.size()] == ':') total += std::stol(line.substr(field.size() + 1));
    }
  }
  return total;
}

void BM_ProcessStartToBothNamesOwned(benchmark::State& state) {
  (void)client();
  std::vector<double> samples;
  for (auto _ : state) {
    state.PauseTiming();
    daemon().kill(SIGKILL);
    state.ResumeTiming();
    auto begun = Clock::now();
    if (!daemon().start(executable(state))) state.SkipWithError("the daemon did not start");
    double took = micros(Clock::now() - begun);
    samples.push_back(took);
    state.SetIterationTime(took / 1e6);
  }
  percentiles(state, samples);
}
BENCHMARK(BM_ProcessStartToBothNamesOwned)
    ->Apply([](auto* b) { bothDaemons(b); }) -> UseManualTime() -> Iterations(30) -> Unit(benchmark::kMillisecond);

// Each call is made right after the bus driver's GetId, so that both meet the
// same load on a shared machine; the ratios of their percentiles are reported.
void againstGetId(benchmark::State& state, const std::function<bool()>& call) {
  restart(state);
  std::vector<double> samples, getId;
  for (auto _ : state) {
    auto begun = Clock::now();
    bool answered = client().busID().has_value();
    auto between = Clock::now();
    answered = call() && answered;
    auto ended = Clock::now();
    if (!answered) state.SkipWithError("the call failed");
    getId.push_back(micros(between - begun));
    samples.push_back(micros(ended - between));
    state.SetIterationTime(micros(ended - between) / 1e6);
  }
  auto [p50, p99] = percentiles(state, samples);
  auto [getIdP50, getIdP99] = percentiles(state, getId, "GetId_");
  state.counters["p50_ratio"] = p50 / getIdP50;
  state.counters["p99_ratio"] = p99 / getIdP99;
}

void BM_HealthCheck(benchmark::State& state) {
  againstGetId(state, [] { return client().call("HealthCheck").has_value(); });
}
BENCHMARK(BM_HealthCheck)
    ->Apply([](auto* b) { bothDaemons(b); }) -> UseManualTime() -> Iterations(2000) -> Unit(benchmark::kMicrosecond);

// The cheapest method: no file, no log line; what admission and dispatch alone cost.
void BM_CurrentSession(benchmark::State& state) {
  againstGetId(state, [] { return client().call("CurrentSession").has_value(); });
}
BENCHMARK(BM_CurrentSession)
    ->Apply([](auto* b) { bothDaemons(b); }) -> UseManualTime() -> Iterations(2000) -> Unit(benchmark::kMicrosecond);

// Times `request` once per iteration, each time on a daemon started afresh outside the timing.
void onFreshDaemons(benchmark::State& state, const std::function<bool()>& request) {
  std::vector<double> samples;
  for (auto _ : state) {
    state.PauseTiming();
    restart(state);
    state.ResumeTiming();
    auto begun = Clock::now();
    bool answered = request();
    double took = micros(Clock::now() - begun);
    if (!answered) state.SkipWithError("the request was not answered as expected");
    samples.push_back(took);
    state.SetIterationTime(took / 1e6);
  }
  percentiles(state, samples);
}

// Each start needs a daemon without a session.
void BM_StartSession(benchmark::State& state) {
  std::string request = startRequest(static_cast<int>(state.range(1)));
  onFreshDaemons(state, [&] { return client().call("StartSession", request).has_value(); });
}
BENCHMARK(BM_StartSession)->Apply([](auto* b) {
                            bothDaemons(b, "domains", {1, 500});
                          }) -> UseManualTime() -> Iterations(40) -> Unit(benchmark::kMicrosecond);

// The first request of a fresh daemon that needs Unicode tables (a domain with
// KELVIN SIGN, which lower-cases to "k"), against the same request in ASCII.
// Both domains are then refused, so no file work hides the difference.
void BM_FirstRequest(benchmark::State& state) {
  std::string request = state.range(1) != 0 ? R"({"domains":["\u212A..example"],"duration":60})"
                                            : R"({"domains":["k..example"],"duration":60})";
  onFreshDaemons(state, [&] {
    auto reply = client().call("StartSession", request);
    return !reply && reply.error().daemonError() == DaemonError::invalidDomain;
  });
}
BENCHMARK(BM_FirstRequest)->Apply([](auto* b) {
                            bothDaemons(b, "unicode", {0, 1});
                          }) -> UseManualTime() -> Iterations(30) -> Unit(benchmark::kMicrosecond);

void BM_TamperToRepair(benchmark::State& state) {
  restart(state);
  if (!client().call("StartSession", startRequest(1))) std::abort();
  std::string blocked = readFile(daemon().hosts);
  std::vector<double> samples;
  for (auto _ : state) {
    auto begun = Clock::now();
    writeFile(daemon().hosts, std::string(SandboxDaemon::initialHosts));
    bool repaired = waitUntil([&] { return readFile(daemon().hosts) == blocked; }, std::chrono::seconds(5),
                              std::chrono::milliseconds(1));
    if (!repaired) state.SkipWithError("not repaired");
    double took = micros(Clock::now() - begun);
    samples.push_back(took);
    state.SetIterationTime(took / 1e6);
  }
  percentiles(state, samples);
  state.counters["debounce_ratio"] = samples.empty() ? 0 : samples[samples.size() / 2] / 250e3;
}
BENCHMARK(BM_TamperToRepair)
    ->Apply([](auto* b) { bothDaemons(b); }) -> UseManualTime() -> Iterations(20) -> Unit(benchmark::kMillisecond);

// Resident and private (Private_Clean + Private_Dirty) memory: at idle, and
// with 32 schedules saved and a 500-domain session running.
void BM_Memory(benchmark::State& state) {
  // All three days ahead, so none starts a session of its own during the run.
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::int64_t later = (local.tm_wday + 3) % 7 + 1;  // 1 = Sunday
  std::vector<Schedule> schedules;
  for (std::uint64_t n = 1; n <= 32; ++n) {
    schedules.push_back(weeklySchedule({later}, static_cast<std::int64_t>(n % 24) * 60, 3600, n));
  }
  // A freshly linked executable's pages are dirty until written back, and would count as private.
  int executableFile = open(executable(state).value_or(daemon().installed).c_str(), O_RDONLY | O_CLOEXEC);
  if (executableFile >= 0) (void)fsync(executableFile);
  close(executableFile);
  for (auto _ : state) {
    restart(state);
    pid_t pid = daemon().pid();
    state.counters["idle_rss_kB"] = static_cast<double>(memoryKilobytes(pid, {"Rss"}));
    state.counters["idle_private_kB"] = static_cast<double>(memoryKilobytes(pid, {"Private_Clean", "Private_Dirty"}));
    if (!client().call("SaveSchedules", Schedule::encodedList(schedules))) state.SkipWithError("the save failed");
    // Started again on those schedules, it evaluates them at once: the calendar is in.
    daemon().kill(SIGKILL);
    if (!daemon().start(executable(state))) state.SkipWithError("the daemon did not start");
    pid = daemon().pid();
    if (!client().call("StartSession", startRequest(500))) state.SkipWithError("the start failed");
    state.counters["busy_rss_kB"] = static_cast<double>(memoryKilobytes(pid, {"Rss"}));
    state.counters["busy_private_kB"] = static_cast<double>(memoryKilobytes(pid, {"Private_Clean", "Private_Dirty"}));
  }
}
BENCHMARK(BM_Memory)->Apply([](auto* b) { bothDaemons(b); }) -> Iterations(1);

}  // namespace
}  // namespace hushwall::testing
