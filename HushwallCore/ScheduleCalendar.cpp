#include "HushwallCore/ScheduleCalendar.hpp"

#include <unicode/gregocal.h>
#include <unicode/timezone.h>

#include <cmath>

namespace hushwall {
namespace {

// ICU clamps instants beyond roughly ±5.8 million years instead of failing;
// staying inside this bound keeps every answer a real one.
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

}  // namespace

struct ScheduleCalendar::Impl {
  std::unique_ptr<icu::Calendar> calendar;

  // Positions the calendar at an instant; false when it cannot stand for it.
  bool moveTo(Date instant) {
    auto millis = toUDate(instant);
    if (!millis) return false;
    UErrorCode status = U_ZERO_ERROR;
    calendar->setTime(*millis, status);
    return U_SUCCESS(status);
  }

  std::optional<std::int32_t> field(UCalendarDateFields which) {
    UErrorCode status = U_ZERO_ERROR;
    std::int32_t value = calendar->get(which, status);
    if (U_FAILURE(status)) return std::nullopt;
    return value;
  }
};

ScheduleCalendar::ScheduleCalendar(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

ScheduleCalendar ScheduleCalendar::inTimeZone(std::string_view zoneID) {
  icu::UnicodeString id = icu::UnicodeString::fromUTF8(icu::StringPiece(zoneID.data(), static_cast<int32_t>(zoneID.size())));
  UErrorCode status = U_ZERO_ERROR;
  // The calendar adopts the zone.
  auto calendar = std::make_unique<icu::GregorianCalendar>(icu::TimeZone::createTimeZone(id),
                                                           icu::Locale("en_US_POSIX"), status);
  if (U_FAILURE(status)) return ScheduleCalendar(nullptr);
  return ScheduleCalendar(std::make_unique<Impl>(Impl{std::move(calendar)}));
}

ScheduleCalendar ScheduleCalendar::systemCurrent() {
  std::unique_ptr<icu::TimeZone> zone(icu::TimeZone::detectHostTimeZone());
  if (zone == nullptr) return inTimeZone("Etc/Unknown");
  icu::UnicodeString id;
  zone->getID(id);
  std::string utf8;
  id.toUTF8String(utf8);
  return inTimeZone(utf8);
}

ScheduleCalendar::ScheduleCalendar(const ScheduleCalendar& other)
    : impl_(other.impl_ ? std::make_unique<Impl>(Impl{std::unique_ptr<icu::Calendar>(other.impl_->calendar->clone())})
                        : nullptr) {
  if (impl_ && !impl_->calendar) impl_.reset();  // clone ran out of memory
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
  if (!impl_ || !impl_->moveTo(instant)) return std::nullopt;
  auto year = impl_->field(UCAL_EXTENDED_YEAR);
  auto month = impl_->field(UCAL_MONTH);
  auto dayOfMonth = impl_->field(UCAL_DATE);
  if (!year || !month || !dayOfMonth) return std::nullopt;
  return Day{*year, *month + 1, *dayOfMonth};
}

std::optional<std::int32_t> ScheduleCalendar::weekday(Date instant) const {
  if (!impl_ || !impl_->moveTo(instant)) return std::nullopt;
  return impl_->field(UCAL_DAY_OF_WEEK);
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
  if (!impl_ || !impl_->moveTo(instant)) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  impl_->calendar->add(UCAL_DATE, days, status);
  if (U_FAILURE(status)) return std::nullopt;
  UDate millis = impl_->calendar->getTime(status);
  return fromUDate(millis, status);
}

}  // namespace hushwall
