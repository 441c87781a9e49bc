// Schedule evaluation and the schedules file, at the largest set the daemon
// keeps: 32 schedules in Europe/Berlin, each with 5 history runs.
//
// - Decide: ScheduleEvaluator::decide at an instant where several windows are
//   open, with a calendar built once; DecideWithFreshCalendar adds building the
//   calendar for the zone, as the coordinator does on every evaluation.
//   Baseline: one local-fields-to-instant conversion of the same calendar.
// - StoreLoad: ScheduleStore::load on a temporary directory (read, decode,
//   version check, validation of every schedule and its domains).
//   Baseline: ScheduleSet::decode of the same bytes, without file or validation.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "DaemonCore/ScheduleEvaluator.hpp"
#include "DaemonCore/ScheduleStore.hpp"

namespace {

using namespace hushwall;

constexpr const char* zone = "Europe/Berlin";
constexpr std::size_t historyRuns = 5;

Uuid numberedID(std::uint64_t n) {
  std::string text = std::to_string(n);
  return *Uuid::parse("00000000-0000-4000-8000-" + std::string(12 - text.size(), '0') + text);
}

// Schedules spread over the week, a third of them open on Wednesday around
// noon; `domains` domains each.
ScheduleSet fullSet(std::size_t domains) {
  ScheduleSet set;
  for (std::uint64_t i = 0; i < Schedule::maxCount; ++i) {
    std::vector<std::string> names;
    for (std::size_t d = 0; d < domains; ++d) names.push_back("site" + std::to_string(i * 1000 + d) + ".example.com");
    std::set<std::int64_t> weekdays = i % 3 == 0 ? std::set<std::int64_t>{4} : std::set<std::int64_t>{2, 6};
    Schedule schedule(numberedID(i), "Schedule " + std::to_string(i), i % 7 != 0, weekdays,
                      static_cast<std::int64_t>(600 + i * 10), 7200,
                      {BlocklistRef(numberedID(1000 + i), "Work"), BlocklistRef(numberedID(2000 + i), "News")},
                      std::move(names));
    for (std::size_t r = 0; r < historyRuns; ++r) {
      set.record({Date{7e8 + static_cast<double>(r) * 604800}, ScheduleRun::Outcome::ran, 3600}, schedule.id);
    }
    set.lastFired[schedule.id] = Date{7e8};
    set.schedules.push_back(std::move(schedule));
  }
  return set;
}

// Wednesday 2024-01-17 12:00 in Berlin (11:00 UTC).
const Date wednesdayNoon = Date::fromUnix(1705489200);

void Decide(benchmark::State& state) {
  ScheduleSet set = fullSet(20);
  ScheduleCalendar calendar = ScheduleCalendar::inTimeZone(zone);
  ScheduleEvaluator evaluator;
  for (auto _ : state) {
    ScheduleDecision decision = evaluator.decide(set, wednesdayNoon, calendar, false);
    benchmark::DoNotOptimize(decision);
  }
}
BENCHMARK(Decide);

void DecideWithFreshCalendar(benchmark::State& state) {
  ScheduleSet set = fullSet(20);
  ScheduleEvaluator evaluator;
  for (auto _ : state) {
    ScheduleDecision decision = evaluator.decide(set, wednesdayNoon, ScheduleCalendar::inTimeZone(zone), false);
    benchmark::DoNotOptimize(decision);
  }
}
BENCHMARK(DecideWithFreshCalendar);

void BaselineOneConversion(benchmark::State& state) {
  ScheduleCalendar calendar = ScheduleCalendar::inTimeZone(zone);
  for (auto _ : state) {
    auto start = calendar.date({2024, 1, 17}, 12, 0);
    benchmark::DoNotOptimize(start);
  }
}
BENCHMARK(BaselineOneConversion);

class TemporaryStore {
 public:
  explicit TemporaryStore(const ScheduleSet& set) {
    std::string pattern = (std::filesystem::temp_directory_path() / "schedules_bench.XXXXXX").string();
    directory_ = mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
    store_ = std::make_unique<ScheduleStore>(directory_);
    if (directory_.empty() || !store_->save(set)) directory_.clear();
  }
  ~TemporaryStore() {
    std::error_code ignored;
    if (!directory_.empty()) std::filesystem::remove_all(directory_, ignored);
  }
  [[nodiscard]] bool ready() const { return !directory_.empty(); }
  [[nodiscard]] const ScheduleStore& store() const { return *store_; }

 private:
  std::string directory_;
  std::unique_ptr<ScheduleStore> store_;
};

void StoreLoad(benchmark::State& state) {
  TemporaryStore files(fullSet(static_cast<std::size_t>(state.range(0))));
  if (!files.ready()) {
    state.SkipWithError("could not write the schedules file");
    return;
  }
  for (auto _ : state) {
    ScheduleStore::Load loaded = files.store().load();
    if (!std::holds_alternative<ScheduleSet>(loaded)) state.SkipWithError("the file did not load");
    benchmark::DoNotOptimize(loaded);
  }
}
BENCHMARK(StoreLoad)->Arg(20)->Arg(500);

void BaselineDecodeOnly(benchmark::State& state) {
  ScheduleSet set = *fullSet(static_cast<std::size_t>(state.range(0))).validated();
  set.schemaVersion = set.lowestSchemaVersion();
  std::string bytes = set.encoded();
  state.counters["bytes"] = static_cast<double>(bytes.size());
  for (auto _ : state) {
    auto decoded = ScheduleSet::decode(bytes);
    benchmark::DoNotOptimize(decoded);
  }
}
BENCHMARK(BaselineDecodeOnly)->Arg(20)->Arg(500);

}  // namespace
