#include "Tools/Client/Presentation.hpp"

#include <algorithm>
#include <cmath>
#include <ctime>

#include "HushwallCore/Strings.hpp"
#include "Tools/Client/HumanDuration.hpp"
#include "Tools/Client/ScheduleText.hpp"

namespace hushwall::Presentation {
namespace {

std::string joined(const std::vector<std::string>& words, std::string_view separator) {
  std::string out;
  for (const std::string& word : words) {
    if (!out.empty()) out += separator;
    out += word;
  }
  return out;
}

std::string percent(double fraction) {
  double clamped = std::isnan(fraction) ? 0 : std::clamp(fraction, 0.0, 1.0);
  return cat(static_cast<int>(std::floor(clamped * 100)), "%");
}

std::string domainCount(std::size_t count) { return cat(count, count == 1 ? " domain" : " domains"); }

}  // namespace

std::string progressBar(double fraction, std::size_t width) {
  double clamped = std::isnan(fraction) ? 0 : std::clamp(fraction, 0.0, 1.0);
  auto filled = static_cast<std::size_t>(std::floor(clamped * static_cast<double>(width)));
  return cat("[", std::string(filled, '#'), std::string(width - filled, '-'), "]");
}

std::string localTime(Date date) {
  double unix = std::floor(date.unixTime());
  if (!(unix > -1e15 && unix < 1e15)) return "(unknown time)";
  std::time_t seconds = static_cast<std::time_t>(unix);
  std::tm parts{};
  if (localtime_r(&seconds, &parts) == nullptr) return "(unknown time)";
  char text[64];
  std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
  return std::string(text, length);
}

double timeLeft(const SessionState& state, const TimeSource& clock) {
  double remaining = state.remaining();
  if (state.lastTick.bootID.empty() || clock.bootID() != state.lastTick.bootID) return remaining;
  double elapsed = clock.continuous() - state.lastTick.continuous;
  if (!(elapsed > 0) || !std::isfinite(elapsed)) return remaining;
  return std::max(0.0, remaining - elapsed);
}

std::string session(const SessionState& state, double remaining, bool bar) {
  std::string out =
      cat("Blocking ", domainCount(state.domains.size()), " for ", HumanDuration::format(state.totalDuration));
  if (state.scheduleName) out += cat(" (schedule \"", *state.scheduleName, "\")");
  out += cat("\n  session:   ", state.id.string());
  out += cat("\n  started:   ", localTime(state.startedAt));
  out +=
      cat("\n  time left: ", HumanDuration::countdown(remaining), " of ", HumanDuration::format(state.totalDuration));
  out += cat("\n  domains:   ", joined(state.domains, ", "));
  if (bar) {
    double done = state.totalDuration > 0 ? 1 - remaining / state.totalDuration : 1;
    out += cat("\n  ", progressBar(done, 40), " ", percent(done));
  }
  return out;
}

std::string health(const DaemonHealth& health) {
  std::string out = cat("hushwalld ", health.version, health.build ? cat(" (", *health.build, ")") : std::string());
  out += cat("\n  running as uid ", health.uid, " for ", HumanDuration::format(health.uptime));
  out += cat("\n  session:        ", health.hasActiveSession ? "running" : "none");
  out += cat("\n  can manage the block: ", health.canManageBlock ? "yes" : "NO");
  if (health.scheduleFailure) out += cat("\n  schedules:      failed: ", *health.scheduleFailure);
  if (health.filter) {
    const FilterReport& report = health.filter->report;
    out += cat("\n  filter:         ", caseName(report.outcome), ", ", report.ruleCount, " rules, version ",
               report.filterVersion, report.detail ? cat(" (", *report.detail, ")") : std::string(), ", ",
               HumanDuration::format(health.filter->secondsSinceReport), " ago");
  } else {
    out += "\n  filter:         no report yet";
  }
  return out + "\n";
}

std::string schedules(const ScheduleSet& set, const std::optional<std::string>& failure) {
  std::string out;
  if (set.schedules.empty()) out += "No schedules.\n";
  for (const Schedule& schedule : set.schedules) {
    out += cat(schedule.name, schedule.isEnabled ? "" : " (paused)", "\n");
    out += cat("  id:      ", schedule.id.string(), "\n");
    out += cat("  when:    ", ScheduleText::formatWeekdays(schedule.weekdays), " at ",
               ScheduleText::formatTimeOfDay(schedule.startMinute), " for ", HumanDuration::format(schedule.duration),
               "\n");
    std::vector<std::string> lists;
    for (const BlocklistRef& list : schedule.blocklists) lists.push_back(list.name);
    out += cat("  lists:   ", joined(lists, ", "), "\n");
    out += cat("  domains: ", joined(schedule.domains, ", "), "\n");
    auto history = set.history.find(schedule.id);
    if (history == set.history.end() || history->second.empty()) continue;
    out += "  recent runs:\n";
    for (const ScheduleRun& run : history->second) {
      out += cat("    ", localTime(run.occurrence), "  ", ScheduleRun::text(run.outcome),
                 run.duration ? cat(" for ", HumanDuration::format(*run.duration)) : std::string(), "\n");
    }
  }
  if (failure) out += cat("Schedules failed: ", *failure, "\n");
  return out;
}

std::string rules(const FilterRuleSet& rules) {
  std::string out = cat("state:   ", caseName(rules.state), "\n");
  if (!rules.isSupported()) out += cat("schema:  ", rules.schemaVersion, " (not understood: rules not applied)\n");
  if (rules.sessionID) out += cat("session: ", rules.sessionID->string(), "\n");
  std::vector<std::string> hosts = rules.ruleHosts();
  out += cat("hosts:   ", hosts.size(), "\n");
  for (const std::string& host : hosts) out += cat("  ", host, "\n");
  return out;
}

}  // namespace hushwall::Presentation
