// FlowRules::verdict, the network filter's per-flow question, against a rule
// set of 500 domains. The baseline is the least any matcher must do: one hash
// lookup of the raw host in a set of the raw domains, with no normalisation and
// no sub-domain match. The literal scan shows what testing every blocked domain
// for a dot-suffix would cost instead.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "HushwallCore/FlowRules.hpp"
#include "HushwallCore/HostName.hpp"

namespace hushwall {
namespace {

std::vector<std::string> fiveHundredDomains() {
  std::vector<std::string> domains;
  for (int i = 0; i < 500; ++i) {
    std::string n = std::to_string(i);
    switch (i % 3) {
      case 0:
        domains.push_back("brand" + n + ".com");
        break;
      case 1:
        domains.push_back("news" + n + ".example.org");
        break;
      default:
        domains.push_back("cdn" + n + ".media-" + std::to_string(i % 7) + ".net");
        break;
    }
  }
  return domains;
}

// Hosts of typical depth (two to five labels) as a filter sees them: mostly
// unlisted, some blocked directly or as sub-domains, a few in upper case or
// with a trailing dot.
const std::vector<std::string> mixedHosts = {
    "www.google.com",        "api.github.com",
    "fonts.gstatic.com",     "brand12.com",
    "www.brand99.com",       "img.static.news13.example.org",
    "mail.example.co.uk",    "a.b.cdn.cloudflare.net",
    "cdn14.media-0.net",     "WWW.Brand300.COM.",
    "outlook.office365.com", "www.wikipedia.org",
    "news.ycombinator.com",  "s3.eu-west-1.amazonaws.com",
    "x.news499.example.org", "video.brand3.com",
};

const std::vector<std::string> unlistedHosts = {
    "www.google.com",         "api.github.com",        "fonts.gstatic.com", "mail.example.co.uk",
    "a.b.cdn.cloudflare.net", "outlook.office365.com", "www.wikipedia.org", "s3.eu-west-1.amazonaws.com",
};

template <class Lookup>
void runOver(benchmark::State& state, const std::vector<std::string>& hosts, Lookup lookup) {
  std::size_t index = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(lookup(hosts[index]));
    index = (index + 1) % hosts.size();
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_Baseline_RawSetLookup(benchmark::State& state) {
  const auto domains = fiveHundredDomains();
  const std::unordered_set<std::string> raw(domains.begin(), domains.end());
  runOver(state, mixedHosts, [&](const std::string& host) { return raw.find(host) != raw.end(); });
}

void BM_Verdict_Mixed(benchmark::State& state) {
  const FlowRules rules(fiveHundredDomains());
  runOver(state, mixedHosts, [&](const std::string& host) { return rules.verdict(host); });
}

void BM_Verdict_Unlisted(benchmark::State& state) {
  const FlowRules rules(fiveHundredDomains());
  runOver(state, unlistedHosts, [&](const std::string& host) { return rules.verdict(host); });
}

void BM_Verdict_NonAscii(benchmark::State& state) {
  const FlowRules rules(fiveHundredDomains());
  const std::vector<std::string> hosts = {"www.stra\u00DFe.de", "\u00E9cole.brand3.com"};
  runOver(state, hosts, [&](const std::string& host) { return rules.verdict(host); });
}

void BM_LiteralScan_Mixed(benchmark::State& state) {
  const auto domains = fiveHundredDomains();
  runOver(state, mixedHosts, [&](const std::string& host) {
    auto name = HostName::normalized(host);
    if (!name) return false;
    for (const auto& domain : domains) {
      if (*name == domain || (name->size() > domain.size() && name->ends_with(domain) &&
                              (*name)[name->size() - domain.size() - 1] == '.')) {
        return true;
      }
    }
    return false;
  });
}

BENCHMARK(BM_Baseline_RawSetLookup);
BENCHMARK(BM_Verdict_Mixed);
BENCHMARK(BM_Verdict_Unlisted);
BENCHMARK(BM_Verdict_NonAscii);
BENCHMARK(BM_LiteralScan_Mixed);

}  // namespace
}  // namespace hushwall
