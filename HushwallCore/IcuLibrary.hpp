// ICU's C functions, taken from the shared libraries on first use, so that a
// process which never meets non-ASCII text or a calendar never maps ICU: its
// libraries alone are over a megabyte of resident pages once linked.
//
// Members carry ICU's own names, which its headers rename to the versioned
// symbols (u_strToLower is u_strToLower_72), so `icu->u_strToLower(...)` reads
// as the plain call would.
//
// Thread-safety: each table is loaded once, under std::call_once, and never
// changes afterwards; the functions are ICU's, with ICU's own rules.
#pragma once

#include <unicode/ubrk.h>
#include <unicode/ucal.h>
#include <unicode/uchar.h>
#include <unicode/ustring.h>

// clang-format off
#define HUSHWALL_ICU_COMMON(X)                                                                                     \
  X(u_strFromUTF8WithSub) X(u_strToUTF8WithSub) X(u_strToLower) X(u_isUWhiteSpace) X(ubrk_open) X(ubrk_setText) \
  X(ubrk_first) X(ubrk_next) X(ubrk_close)
#define HUSHWALL_ICU_CALENDAR(X)                                                                                 \
  X(ucal_open) X(ucal_close) X(ucal_clone) X(ucal_setMillis) X(ucal_getMillis) X(ucal_get) X(ucal_set) X(ucal_add) \
  X(ucal_clear) X(ucal_getTimeZoneID) X(ucal_getHostTimeZone)
// clang-format on
#define HUSHWALL_ICU_MEMBER(name) decltype(&::name) name = nullptr;

namespace hushwall {

// From libicuuc: conversions, case mapping, properties, break iteration.
struct IcuCommon {
  HUSHWALL_ICU_COMMON(HUSHWALL_ICU_MEMBER)
};

// From libicui18n: the calendar.
struct IcuCalendar {
  HUSHWALL_ICU_CALENDAR(HUSHWALL_ICU_MEMBER)
};

// The loaded tables; null when the library or one of its functions cannot be
// found, which every caller treats as ICU failing.
[[nodiscard]] const IcuCommon* icuCommon();
[[nodiscard]] const IcuCalendar* icuCalendar();

}  // namespace hushwall
