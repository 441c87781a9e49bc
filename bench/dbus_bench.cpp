// The cost of a method call through the daemon's D-Bus plumbing (admission by
// code requirement, dispatch, `ay` reply) against the bus driver's own
// org.freedesktop.DBus.GetId, on the same private bus, from the same client.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include "HushwallCore/Identity.hpp"
#include "Platform/BusConnection.hpp"
#include "PrivateBus.hpp"

namespace hushwall {
namespace {

const std::string busName = "org.hushwall.bench";
const std::string path = "/org/hushwall/bench";
const std::string interface = "org.hushwall.Bench";

BusMethod noOp(std::string name) {
  return {std::move(name), false, true,
          [](const BusCaller&, std::string_view) { return std::expected<std::string, DaemonError>(std::string()); }};
}

struct Bench {
  Bench() {
    (void)testing::PrivateBus::shared(std::string(HUSHWALL_SOURCE_DIR) + "/packaging/test-bus.conf");
    server = BusConnection::openSystem(serverQueue).value();
    client = BusConnection::openSystem(clientQueue).value();
    // This binary is stamped "org.hushwall.bench"; its file belongs to whoever built it.
    BusService service{
        .busName = busName,
        .objectPath = path,
        .interface = interface,
        .methods = {noOp("Ping")},
        .signalNames = {},
        .requirement = R"(identifier "org.hushwall.bench" and certificate leaf[subject.OU] = "HW7Q3K9P2L")",
        .owner = CodeRequirement::Owner::processUser,
        .log = Logger(LogSubsystem::daemon, "bench")};
    if (!server->serve(service)) std::abort();
    // The same object with every admission step answered at once: the dispatch alone.
    service.busName = busName + ".unchecked";
    service.objectPath = path + "/unchecked";
    PeerAdmission admitAll;
    admitAll.lookUp = [](sd_bus_message*) -> std::expected<BusCaller, Refusal> { return BusCaller{1, 0, ":x"}; };
    admitAll.examine = [](const CodeRequirement&, pid_t) -> std::expected<void, Refusal> { return {}; };
    admitAll.confirm = [](sd_bus_message*, const BusCaller&) -> std::expected<void, Refusal> { return {}; };
    admitAll.stamp = [](pid_t) { return std::optional<ProcessStamp>(ProcessStamp{}); };
    if (!server->serve(service, admitAll)) std::abort();
  }

  SerialQueue serverQueue{"org.hushwall.bench.server"};
  SerialQueue clientQueue{"org.hushwall.bench.client"};
  std::unique_ptr<BusConnection> server, client;
};

Bench& bench() {
  static Bench instance;
  return instance;
}

void run(benchmark::State& state, const std::string& destination, const std::string& objectPath,
         const std::string& iface, const std::string& member) {
  auto& b = bench();
  for (auto _ : state) {
    auto reply = b.client->call(destination, objectPath, iface, member);
    if (!reply) {
      state.SkipWithError(reply.error().message.c_str());
      break;
    }
    benchmark::DoNotOptimize(reply);
  }
}

void BM_BusDriverGetId(benchmark::State& state) {
  run(state, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId");
}
void BM_NoOpMethodAdmitted(benchmark::State& state) { run(state, busName, path, interface, "Ping"); }
void BM_NoOpMethodWithoutAdmission(benchmark::State& state) {
  run(state, busName + ".unchecked", path + "/unchecked", interface, "Ping");
}

BENCHMARK(BM_BusDriverGetId)->UseRealTime();
BENCHMARK(BM_NoOpMethodAdmitted)->UseRealTime();
BENCHMARK(BM_NoOpMethodWithoutAdmission)->UseRealTime();

}  // namespace
}  // namespace hushwall
