#include "HushwallCore/ScheduleCalendar.hpp"

#include <unicode/gregocal.h>
#include <unicode/timezone.h>

#include <array>
#include <cmath>
#include <mutex>

namespace hushwall {
namespace {

// ICU clamps instants beyond roughly ±5.8 million years instead of failing;
// staying inside these bounds keeps every answer a real one.
constexpr double maxUnixSeconds = 1.8e14;
constexpr std::int32_t maxYear = 5'000'000;

std::optional<UDate> toUDate(Date instant) {
  double unix = instant.unixTime();
  if (!std::isfinite(unix) || std::fabs(unix) > maxUnixSeconds) return std::nullopt;
  return unix * 1000.0;
}

std::optional<Date> fromUDate(UDate millis, UErrorCode status) {
  if (U_FAILURE(status)) return std::nullopt;
  Date instant = Date::fromUnix(millis / 1000.0);
  if (!toUDate(instant)) return std::nullopt;
  return instant;
}

// The last few answers of one kind, oldest overwritten first.
template <class Entry>
struct Recent {
  std::array<std::optional<Entry>, 4> entries;
  std::size_t next = 0;

  template <class Matches>
  const Entry* find(Matches matches) const {
    for (const auto& entry : entries) {
      if (entry && matches(*entry)) return &*entry;
    }
    return nullptr;
  }
  void remember(Entry entry) {
    entries[next] = std::move(entry);
    next = (next + 1) % entries.size();
  }
};

}  // namespace

struct ScheduleCalendar::Impl {
  struct LocalFields {
    UDate millis;
    Day day;
    std::int32_t weekday;
  };
  struct Shift {
    UDate millis;
    std::int32_t days;
    std::optional<Date> result;
  };

  std::unique_ptr<icu::Calendar> calendar;
  // Every schedule asks about the same few instants (now and the days before
  // it). Answers depend only on the arguments, as the zone never changes, so
  // the latest ones are kept and most ICU work is saved.
  Recent<LocalFields> recentFields;
  Recent<Shift> recentShifts;

  std::optional<LocalFields> localFields(Date instant) {
    auto millis = toUDate(instant);
    if (!millis) return std::nullopt;
    if (const auto* known = recentFields.find([&](const LocalFields& f) { return f.millis == *millis; })) return *known;
    UErrorCode status = U_ZERO_ERROR;
    calendar->setTime(*millis, status);
    std::int32_t year = calendar->get(UCAL_EXTENDED_YEAR, status);
    std::int32_t month = calendar->get(UCAL_MONTH, status);
    std::int32_t dayOfMonth = calendar->get(UCAL_DATE, status);
    std::int32_t weekday = calendar->get(UCAL_DAY_OF_WEEK, status);
    if (U_FAILURE(status)) return std::nullopt;
    LocalFields fields{*millis, Day{year, month + 1, dayOfMonth}, weekday};
    recentFields.remember(fields);
    return fields;
  }

  std::optional<Date> shifted(Date instant, std::int32_t days) {
    auto millis = toUDate(instant);
    if (!millis) return std::nullopt;
    if (const auto* known = recentShifts.find([&](const Shift& s) { return s.millis == *millis && s.days == days; })) {
      return known->result;
    }
    UErrorCode status = U_ZERO_ERROR;
    calendar->setTime(*millis, status);
    calendar->add(UCAL_DATE, days, status);
    UDate result = calendar->getTime(status);
    Shift shift{*millis, days, fromUDate(result, status)};
    recentShifts.remember(shift);
    return shift.result;
  }
};

ScheduleCalendar::ScheduleCalendar(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

ScheduleCalendar ScheduleCalendar::inTimeZone(std::string_view zoneID) {
  icu::UnicodeString id =
      icu::UnicodeString::fromUTF8(icu::StringPiece(zoneID.data(), static_cast<int32_t>(zoneID.size())));
  UErrorCode status = U_ZERO_ERROR;
  // The calendar adopts the zone.
  auto calendar =
      std::make_unique<icu::GregorianCalendar>(icu::TimeZone::createTimeZone(id), icu::Locale("en_US_POSIX"), status);
  if (U_FAILURE(status)) return ScheduleCalendar(nullptr);
  auto impl = std::make_unique<Impl>();
  impl->calendar = std::move(calendar);
  return ScheduleCalendar(std::move(impl));
}

ScheduleCalendar ScheduleCalendar::systemCurrent() {
  icu::UnicodeString id;
  {
    // Detection rewrites ICU's process-wide buffer of the host zone's name.
    static std::mutex detecting;
    std::lock_guard lock(detecting);
    std::unique_ptr<icu::TimeZone> zone(icu::TimeZone::detectHostTimeZone());
    if (zone == nullptr) return inTimeZone("Etc/Unknown");
    zone->getID(id);
  }
  std::string utf8;
  id.toUTF8String(utf8);
  return inTimeZone(utf8);
}

ScheduleCalendar::ScheduleCalendar(const ScheduleCalendar& other) {
  if (!other.impl_) return;
  std::unique_ptr<icu::Calendar> calendar(other.impl_->calendar->clone());
  if (!calendar) return;  // out of memory: a calendar that answers nothing
  impl_ = std::make_unique<Impl>();
  impl_->calendar = std::move(calendar);
  impl_->recentFields = other.impl_->recentFields;
  impl_->recentShifts = other.impl_->recentShifts;
}

ScheduleCalendar& ScheduleCalendar::operator=(const ScheduleCalendar& other) {
  if (this != &other) *this = ScheduleCalendar(other);
  return *this;
}

ScheduleCalendar::ScheduleCalendar(ScheduleCalendar&&) noexcept = default;
ScheduleCalendar& ScheduleCalendar::operator=(ScheduleCalendar&&) noexcept = default;
ScheduleCalendar::~ScheduleCalendar() = default;

std::string ScheduleCalendar::timeZoneID() const {
  if (!impl_) return {};
  icu::UnicodeString id;
  impl_->calendar->getTimeZone().getID(id);
  std::string utf8;
  id.toUTF8String(utf8);
  return utf8;
}

std::optional<ScheduleCalendar::Day> ScheduleCalendar::day(Date instant) const {
  if (!impl_) return std::nullopt;
  auto fields = impl_->localFields(instant);
  if (!fields) return std::nullopt;
  return fields->day;
}

std::optional<std::int32_t> ScheduleCalendar::weekday(Date instant) const {
  if (!impl_) return std::nullopt;
  auto fields = impl_->localFields(instant);
  if (!fields) return std::nullopt;
  return fields->weekday;
}

std::optional<Date> ScheduleCalendar::date(const Day& localDay, std::int32_t hour, std::int32_t minute) const {
  // ICU's year arithmetic overflows into plausible-looking instants far out.
  if (!impl_ || localDay.year < -maxYear || localDay.year > maxYear || localDay.month < 1 || localDay.month > 12 ||
      localDay.day < 1 || localDay.day > 31) {
    return std::nullopt;
  }
  icu::Calendar& calendar = *impl_->calendar;
  calendar.clear();
  calendar.set(UCAL_EXTENDED_YEAR, localDay.year);
  calendar.set(UCAL_MONTH, localDay.month - 1);
  calendar.set(UCAL_DATE, localDay.day);
  calendar.set(UCAL_HOUR_OF_DAY, hour);
  calendar.set(UCAL_MINUTE, minute);
  UErrorCode status = U_ZERO_ERROR;
  UDate millis = calendar.getTime(status);
  return fromUDate(millis, status);
}

std::optional<Date> ScheduleCalendar::addingDays(Date instant, std::int32_t days) const {
  if (!impl_) return std::nullopt;
  return impl_->shifted(instant, days);
}

}  // namespace hushwall
