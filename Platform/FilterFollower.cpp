#include "Platform/FilterFollower.hpp"

#include <cmath>

#include "HushwallCore/FilterRuleSet.hpp"
#include "HushwallCore/Strings.hpp"

namespace hushwall {

FilterFollower::FilterFollower(Channel channel, Output output, std::string filterVersion)
    : channel_(std::move(channel)), output_(std::move(output)), filterVersion_(std::move(filterVersion)) {}

void FilterFollower::start() { perform(sync_.start()); }

void FilterFollower::rang() { perform(sync_.rang()); }

void FilterFollower::serviceChanged() {
  mustRestate_ = true;
  perform(sync_.rang());
}

void FilterFollower::retryFired() { perform(sync_.retryFired()); }

void FilterFollower::lapse() {
  hasApplied_ = false;
  (void)output_.apply({}, std::nullopt);
}

void FilterFollower::stop() {
  sync_.stop();
  apply_.stop();
}

// Asks run to completion here, so one effect can lead straight to the next ask
// (a ring that came in meanwhile); the loop ends at a retry or at nothing to do.
void FilterFollower::perform(FilterRuleSync::Effect effect) {
  while (const auto* ask = std::get_if<FilterRuleSync::Ask>(&effect)) {
    std::int64_t id = ask->id;
    auto bytes = channel_.currentRules();
    std::optional<FilterRuleSet> rules;
    if (!bytes) {
      output_.note(cat("no answer from the daemon: ", bytes.error().name, ": ", bytes.error().message));
    } else if (auto decoded = FilterRuleSet::decode(*bytes)) {
      rules = std::move(*decoded);
    } else {
      output_.note(cat("the daemon's rules could not be read: ", decoded.error().reason));
    }
    if (!rules) {
      effect = sync_.failed(id);
      continue;
    }
    FilterRuleSync::Answer answer = sync_.answered(*rules, id);
    if (answer.wasAccepted) {
      if (answer.kept) {
        output_.note(cat("kept the rules in force: ", caseName(*answer.kept)));
        send({FilterReport::currentSchemaVersion, FilterReport::Outcome::keptPrevious, sync_.sessionID(),
              static_cast<std::int64_t>(sync_.hosts().size()), filterVersion_, std::string(caseName(*answer.kept))});
      } else if (answer.rulesChanged || !hasApplied_) {
        if (apply_.configurationChanged()) applyAll();
      } else if (mustRestate_ && lastReport_) {
        send(*lastReport_);
      }
    }
    effect = answer.next;
  }
  if (const auto* retry = std::get_if<FilterRuleSync::Retry>(&effect)) {
    output_.note(cat("asking again in ", static_cast<std::int64_t>(std::ceil(retry->after)), "s"));
    output_.armRetry(retry->after);
  }
}

void FilterFollower::applyAll() {
  do {
    hasApplied_ = true;
    Applied result = output_.apply(sync_.hosts(), sync_.sessionID());
    send({FilterReport::currentSchemaVersion, result.outcome, sync_.sessionID(),
          static_cast<std::int64_t>(sync_.hosts().size()), filterVersion_, std::move(result.detail)});
  } while (apply_.applyFinished() == FilterApplyState::Next::applyAgain);
}

void FilterFollower::send(FilterReport report) {
  auto sent = channel_.report(report.encoded());
  // A report that did not arrive is sent again with the next answer that restates it.
  mustRestate_ = !sent;
  if (sent) {
    output_.note(cat("reported ", caseName(report.outcome), ", ", report.ruleCount, " rules"));
  } else {
    output_.note(cat("could not report to the daemon: ", sent.error().name, ": ", sent.error().message));
  }
  lastReport_ = std::move(report);
}

}  // namespace hushwall
