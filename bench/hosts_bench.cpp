// The hosts transform on a large hosts file: 200,000 lines (about 6 MB) with
// one managed region of 500 domains at its end (where earlier builds put it,
// and the worst place for `contains`; the daemon now puts it first), against a
// baseline that only splits the same buffer into lines with memchr. Target:
// each operation faster than the baseline.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "DaemonCore/HostsDocument.hpp"
#include "HushwallCore/HostsRegions.hpp"

namespace {

using namespace hushwall;

constexpr std::size_t totalLines = 200000;
constexpr std::size_t regionDomains = 500;

const Uuid session = *Uuid::parse("0F5E2A4C-1B3D-4E6F-8A9B-C0D1E2F3A4B5");

std::vector<std::string> regionDomainList() {
  std::vector<std::string> domains;
  for (std::size_t i = 0; i < regionDomains; ++i) domains.push_back("site" + std::to_string(i) + ".example.com");
  return domains;
}

// A blocklist-style file: a header of comments, then "0.0.0.0 host" lines with
// made-up ad and tracker names, about 30 bytes each.
std::string generateHostsFile() {
  std::string region = HostsDocument::renderBlock(regionDomainList(), session);
  std::size_t regionLines = 3 + 8 * regionDomains;
  std::size_t ordinaryLines = totalLines - regionLines;
  std::string out;
  out.reserve(6'500'000);
  out += "# /etc/hosts\n127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n";
  std::uint32_t state = 12345;
  auto next = [&] { return state = state * 1664525u + 1013904223u; };
  static constexpr const char* words[] = {"ads", "track", "metrics", "cdn", "pixel", "stats", "beacon", "tag"};
  for (std::size_t line = 3; line < ordinaryLines; ++line) {
    if (line % 1000 == 0) {
      out += "# section " + std::to_string(line / 1000) + "\n";
      continue;
    }
    out += "0.0.0.0 ";
    out += words[next() % 8];
    out += std::to_string(next() % 100000);
    out += '.';
    out += words[next() % 8];
    out += "-net.com\n";
  }
  out += region;
  return out;
}

const std::string& hostsFile() {
  static const std::string file = generateHostsFile();
  return file;
}

void setBytes(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * hostsFile().size()));
}

void BM_BaselineMemchrLineSplit(benchmark::State& state) {
  const std::string& file = hostsFile();
  for (auto _ : state) {
    std::size_t lines = 0;
    const char* next = file.data();
    const char* end = file.data() + file.size();
    while (next < end) {
      const void* feed = std::memchr(next, '\n', static_cast<std::size_t>(end - next));
      next = feed == nullptr ? end : static_cast<const char*>(feed) + 1;
      ++lines;
    }
    benchmark::DoNotOptimize(lines);
  }
  setBytes(state);
}
BENCHMARK(BM_BaselineMemchrLineSplit)->Unit(benchmark::kMicrosecond);

void BM_HostsRegionsContains(benchmark::State& state) {
  const std::string& file = hostsFile();
  for (auto _ : state) benchmark::DoNotOptimize(HostsRegions::contains(file));
  setBytes(state);
}
BENCHMARK(BM_HostsRegionsContains)->Unit(benchmark::kMicrosecond);

void BM_HostsDocumentRemovingManagedRegion(benchmark::State& state) {
  const std::string& file = hostsFile();
  for (auto _ : state) benchmark::DoNotOptimize(HostsDocument::removingManagedRegion(file));
  setBytes(state);
}
BENCHMARK(BM_HostsDocumentRemovingManagedRegion)->Unit(benchmark::kMicrosecond);

void BM_HostsDocumentApplying(benchmark::State& state) {
  const std::string& file = hostsFile();
  const auto domains = regionDomainList();
  for (auto _ : state) benchmark::DoNotOptimize(HostsDocument::applying(domains, session, file));
  setBytes(state);
}
BENCHMARK(BM_HostsDocumentApplying)->Unit(benchmark::kMicrosecond);

void BM_FileShape(benchmark::State& state) {
  const std::string& file = hostsFile();
  std::size_t lines = 0;
  for (char c : file) lines += c == '\n';
  for (auto _ : state) benchmark::DoNotOptimize(lines);
  state.counters["lines"] = static_cast<double>(lines);
  state.counters["MB"] = static_cast<double>(file.size()) / 1e6;
  state.counters["regions"] = static_cast<double>(HostsRegions::ranges(file).size());
}
BENCHMARK(BM_FileShape)->Iterations(1);

}  // namespace
