// One tick of a running 500-domain session on a real file system: the
// accounting step, one atomic rewrite of "session.json" with fsync, and one
// read of the hosts file compared with the wanted block. Beside it the same
// tick with the session file's fsync switched off, which shows how much of the
// tick is the fsync, and the two file steps alone.
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "DaemonCore/HostsDocument.hpp"
#include "DaemonCore/SessionCoordinator.hpp"
#include "DaemonCore/SessionStore.hpp"
#include "Platform/SystemTimeSource.hpp"

namespace {

using namespace hushwall;

std::vector<std::string> fiveHundredDomains() {
  std::vector<std::string> domains;
  for (int i = 0; i < 500; ++i) domains.push_back("site" + std::to_string(i) + ".example.com");
  return domains;
}

// A scratch directory beside the build (a real disk, not tmpfs where fsync is free).
struct Scratch {
  Scratch() {
    std::string pattern = std::filesystem::current_path().string() + "/coordinator-bench-XXXXXX";
    path = mkdtemp(pattern.data());
  }
  ~Scratch() { std::filesystem::remove_all(path); }
  std::string path;
};

FileIO::Steps withoutFsync() {
  FileIO::Steps steps = FileIO::Steps::live();
  steps.sync = [](const std::string&) -> Result<void> { return {}; };
  steps.syncDirectory = [](const std::string&) {};
  return steps;
}

struct RunningSession {
  explicit RunningSession(FileIO::Steps steps) {
    std::string hosts = "127.0.0.1\tlocalhost\n::1\tlocalhost\n";
    for (int i = 0; i < 40; ++i) hosts += "10.0.0." + std::to_string(i) + "\thost" + std::to_string(i) + ".lan\n";
    std::FILE* file = std::fopen((scratch.path + "/hosts").c_str(), "wb");
    std::fwrite(hosts.data(), 1, hosts.size(), file);
    std::fclose(file);
    coordinator = std::make_unique<SessionCoordinator>(
        std::make_shared<SessionStore>(scratch.path + "/state", steps), ScheduleStore(scratch.path + "/state"),
        BlockController(HostsFile(scratch.path + "/hosts")), std::make_shared<SystemTimeSource>(), Timekeeper{},
        [] { return ScheduleCalendar::inTimeZone("UTC"); }, false, [] {}, [] {});
    (void)coordinator->start(fiveHundredDomains(), 86400).value();
  }
  Scratch scratch;
  std::unique_ptr<SessionCoordinator> coordinator;
};

void BM_Tick(benchmark::State& state) {
  RunningSession session(FileIO::Steps::live());
  for (auto _ : state) benchmark::DoNotOptimize(session.coordinator->tick());
}
BENCHMARK(BM_Tick)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_TickWithoutSessionFsync(benchmark::State& state) {
  RunningSession session(withoutFsync());
  for (auto _ : state) benchmark::DoNotOptimize(session.coordinator->tick());
}
BENCHMARK(BM_TickWithoutSessionFsync)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_SessionFileSave(benchmark::State& state) {
  Scratch scratch;
  SessionStore store(scratch.path + "/state");
  SessionState session = Timekeeper{}.start(fiveHundredDomains(), 3600, SystemTimeSource{}).value();
  for (auto _ : state) benchmark::DoNotOptimize(store.save(session));
}
BENCHMARK(BM_SessionFileSave)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_HostsReadAndCompare(benchmark::State& state) {
  RunningSession session(FileIO::Steps::live());
  HostsFile hosts(session.scratch.path + "/hosts");
  SessionState current = *session.coordinator->current();
  for (auto _ : state) {
    std::string bytes = hosts.readData().value();
    benchmark::DoNotOptimize(HostsDocument::applying(current.domains, current.id, bytes) == bytes);
  }
}
BENCHMARK(BM_HostsReadAndCompare)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
