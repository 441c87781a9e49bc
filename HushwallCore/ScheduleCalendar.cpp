#include "HushwallCore/ScheduleCalendar.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <mutex>

#include "HushwallCore/IcuLibrary.hpp"

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

  Impl(const IcuCalendar& library, UCalendar* opened) : icu(library), calendar(opened) {}
  ~Impl() { icu.ucal_close(calendar); }
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  const IcuCalendar& icu;
  UCalendar* calendar;
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
    icu.ucal_setMillis(calendar, *millis, &status);
    std::int32_t year = icu.ucal_get(calendar, UCAL_EXTENDED_YEAR, &status);
    std::int32_t month = icu.ucal_get(calendar, UCAL_MONTH, &status);
    std::int32_t dayOfMonth = icu.ucal_get(calendar, UCAL_DATE, &status);
    std::int32_t weekday = icu.ucal_get(calendar, UCAL_DAY_OF_WEEK, &status);
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
    icu.ucal_setMillis(calendar, *millis, &status);
    icu.ucal_add(calendar, UCAL_DATE, days, &status);
    UDate result = icu.ucal_getMillis(calendar, &status);
    Shift shift{*millis, days, fromUDate(result, status)};
    recentShifts.remember(shift);
    return shift.result;
  }
};

ScheduleCalendar::ScheduleCalendar(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

namespace {

// A Gregorian calendar in the zone `id`, which ICU reads as "Etc/Unknown" when
// it does not know it.
UCalendar* openCalendar(const IcuCalendar& icu, std::u16string_view id) {
  UErrorCode status = U_ZERO_ERROR;
  UCalendar* calendar =
      icu.ucal_open(id.data(), static_cast<int32_t>(id.size()), "en_US_POSIX", UCAL_GREGORIAN, &status);
  if (U_SUCCESS(status)) return calendar;
  if (calendar != nullptr) icu.ucal_close(calendar);
  return nullptr;
}

std::u16string widened(std::string_view ascii) { return std::u16string(ascii.begin(), ascii.end()); }

}  // namespace

ScheduleCalendar ScheduleCalendar::inTimeZone(std::string_view zoneID) {
  const IcuCalendar* icu = icuCalendar();
  // Zone ids are ASCII; anything else is no zone ICU knows.
  bool ascii = std::all_of(zoneID.begin(), zoneID.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  UCalendar* calendar = icu == nullptr ? nullptr : openCalendar(*icu, widened(ascii ? zoneID : "Etc/Unknown"));
  if (calendar == nullptr) return ScheduleCalendar(nullptr);
  return ScheduleCalendar(std::make_unique<Impl>(*icu, calendar));
}

ScheduleCalendar ScheduleCalendar::systemCurrent() {
  const IcuCalendar* icu = icuCalendar();
  if (icu == nullptr) return ScheduleCalendar(nullptr);
  std::u16string id(128, u'\0');
  {
    // Detection rewrites ICU's process-wide buffer of the host zone's name.
    static std::mutex detecting;
    std::lock_guard lock(detecting);
    UErrorCode status = U_ZERO_ERROR;
    int32_t length = icu->ucal_getHostTimeZone(id.data(), static_cast<int32_t>(id.size()), &status);
    id = U_SUCCESS(status) ? id.substr(0, static_cast<std::size_t>(length)) : u"Etc/Unknown";
  }
  UCalendar* calendar = openCalendar(*icu, id);
  if (calendar == nullptr) return ScheduleCalendar(nullptr);
  return ScheduleCalendar(std::make_unique<Impl>(*icu, calendar));
}

ScheduleCalendar::ScheduleCalendar(const ScheduleCalendar& other) {
  if (!other.impl_) return;
  UErrorCode status = U_ZERO_ERROR;
  UCalendar* calendar = other.impl_->icu.ucal_clone(other.impl_->calendar, &status);
  if (calendar == nullptr || U_FAILURE(status)) {  // out of memory: a calendar that answers nothing
    if (calendar != nullptr) other.impl_->icu.ucal_close(calendar);
    return;
  }
  impl_ = std::make_unique<Impl>(other.impl_->icu, calendar);
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
  std::u16string id(128, u'\0');
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = impl_->icu.ucal_getTimeZoneID(impl_->calendar, id.data(), static_cast<int32_t>(id.size()), &status);
  if (U_FAILURE(status)) return {};
  // Zone ids are ASCII.
  return std::string(id.begin(), id.begin() + length);
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
  const IcuCalendar& icu = impl_->icu;
  UCalendar* calendar = impl_->calendar;
  icu.ucal_clear(calendar);
  icu.ucal_set(calendar, UCAL_EXTENDED_YEAR, localDay.year);
  icu.ucal_set(calendar, UCAL_MONTH, localDay.month - 1);
  icu.ucal_set(calendar, UCAL_DATE, localDay.day);
  icu.ucal_set(calendar, UCAL_HOUR_OF_DAY, hour);
  icu.ucal_set(calendar, UCAL_MINUTE, minute);
  UErrorCode status = U_ZERO_ERROR;
  UDate millis = icu.ucal_getMillis(calendar, &status);
  return fromUDate(millis, status);
}

std::optional<Date> ScheduleCalendar::addingDays(Date instant, std::int32_t days) const {
  if (!impl_) return std::nullopt;
  return impl_->shifted(instant, days);
}

}  // namespace hushwall
