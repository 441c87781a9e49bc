#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "HushwallCore/BlocklistRef.hpp"
#include "HushwallCore/Json.hpp"
#include "HushwallCore/ListNames.hpp"
#include "HushwallCore/Schedule.hpp"
#include "HushwallCore/Text.hpp"
#include "support/ScheduleFixtures.hpp"

namespace hushwall {
namespace {

using testing::fixedID;
using testing::weeklySchedule;

std::string repeated(std::string_view piece, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += piece;
  return out;
}

// A thumbs-up with a skin-tone modifier: one character, eight bytes.
constexpr std::string_view toned = "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD";

std::vector<BlocklistRef> lists(std::size_t count) {
  std::vector<BlocklistRef> out;
  for (std::size_t i = 0; i < count; ++i) out.emplace_back(fixedID(2000 + i), "List " + std::to_string(i));
  return out;
}

TEST(ScheduleValidation, EachRuleRefusesInItsOrder) {
  struct Case {
    const char* what;
    void (*change)(Schedule&);
    DaemonError expected;
  };
  const Case cases[] = {
      {"name of spaces and newlines", [](Schedule& s) { s.name = " \t\n\u3000 "; }, DaemonError::invalidSchedule},
      {"65 characters", [](Schedule& s) { s.name = repeated("a", 65); }, DaemonError::invalidSchedule},
      {"65 toned emoji", [](Schedule& s) { s.name = repeated(toned, 65); }, DaemonError::invalidSchedule},
      {"a million characters", [](Schedule& s) { s.name = repeated("é", 1'000'000); }, DaemonError::invalidSchedule},
      {"no weekdays", [](Schedule& s) { s.weekdays = {}; }, DaemonError::invalidSchedule},
      {"weekday 0",
       [](Schedule& s) {
         s.weekdays = {0, 3};
       },
       DaemonError::invalidSchedule},
      {"weekday 8",
       [](Schedule& s) {
         s.weekdays = {3, 8};
       },
       DaemonError::invalidSchedule},
      {"start minute -1", [](Schedule& s) { s.startMinute = -1; }, DaemonError::invalidSchedule},
      {"start minute 1440", [](Schedule& s) { s.startMinute = 1440; }, DaemonError::invalidSchedule},
      {"duration 59.9", [](Schedule& s) { s.duration = 59.9; }, DaemonError::invalidSchedule},
      {"duration 86400.5", [](Schedule& s) { s.duration = 86400.5; }, DaemonError::invalidSchedule},
      {"duration NaN", [](Schedule& s) { s.duration = std::nan(""); }, DaemonError::invalidSchedule},
      {"no lists", [](Schedule& s) { s.blocklists = {}; }, DaemonError::invalidSchedule},
      {"65 lists", [](Schedule& s) { s.blocklists = lists(65); }, DaemonError::invalidSchedule},
      {"two lists with one id",
       [](Schedule& s) {
         s.blocklists = {BlocklistRef(fixedID(7), "A"), BlocklistRef(fixedID(7), "B")};
       },
       DaemonError::invalidSchedule},
      {"no domains", [](Schedule& s) { s.domains = {}; }, DaemonError::invalidDomain},
      {"a bad domain",
       [](Schedule& s) {
         s.domains = {"example.com", "not a domain"};
       },
       DaemonError::invalidDomain},
      {"501 domains",
       [](Schedule& s) {
         s.domains.clear();
         for (int i = 0; i < 501; ++i) s.domains.push_back("d" + std::to_string(i) + ".com");
       },
       DaemonError::tooManyDomains},
      {"a bad name is reported before bad domains",
       [](Schedule& s) {
         s.name = "";
         s.domains = {};
       },
       DaemonError::invalidSchedule},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Schedule schedule = weeklySchedule({2}, 600, 3600);
    ASSERT_TRUE(schedule.validated().has_value());
    c.change(schedule);
    auto result = schedule.validated();
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), c.expected);
  }
}

TEST(ScheduleValidation, BoundariesPassAndTheCopyIsCleaned) {
  struct Case {
    const char* what;
    void (*change)(Schedule&);
  };
  const Case cases[] = {
      {"64 toned emoji", [](Schedule& s) { s.name = repeated(toned, 64); }},
      {"one character with 100,000 combining marks", [](Schedule& s) { s.name = "a" + repeated("\u0301", 100'000); }},
      {"weekdays 1 and 7",
       [](Schedule& s) {
         s.weekdays = {1, 7};
       }},
      {"start minute 1439", [](Schedule& s) { s.startMinute = 1439; }},
      {"duration 60", [](Schedule& s) { s.duration = 60; }},
      {"duration 86400", [](Schedule& s) { s.duration = 86400; }},
      {"64 lists", [](Schedule& s) { s.blocklists = lists(64); }},
      {"disabled, nil id and any effective date are not checked",
       [](Schedule& s) {
         s.isEnabled = false;
         s.id = Uuid();
         s.effectiveFrom = Date{std::nan("")};
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Schedule schedule = weeklySchedule({2}, 600, 3600);
    c.change(schedule);
    EXPECT_TRUE(schedule.validated().has_value());
  }

  Schedule messy = weeklySchedule({2, 4}, 600, 3600);
  messy.name = " \n Deep work\t ";
  messy.blocklists = {BlocklistRef(), BlocklistRef(fixedID(9), "x")};
  messy.blocklists[0].id = fixedID(8);
  messy.blocklists[0].name = repeated("l", 80);  // as decoded: not yet cut
  messy.domains = {"Example.COM", "example.com", "news.org"};
  auto clean = messy.validated();
  ASSERT_TRUE(clean.has_value());
  EXPECT_EQ(clean->name, "Deep work");
  EXPECT_EQ(clean->blocklists[0].name, repeated("l", 64));
  EXPECT_EQ(clean->blocklists[1].name, "x");
  EXPECT_EQ(clean->domains, (std::vector<std::string>{"example.com", "news.org"}));
  EXPECT_EQ(clean->weekdays, messy.weekdays);
  EXPECT_EQ(messy.name, " \n Deep work\t ");  // the original is untouched
}

}  // namespace
}  // namespace hushwall
