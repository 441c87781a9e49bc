#include "HushwallCore/IcuLibrary.hpp"

#include <dlfcn.h>
#include <unicode/uvernum.h>

#include <mutex>

// Two steps, so that the name is renamed to its versioned symbol before it becomes a string.
#define HUSHWALL_ICU_STRING(name) #name
#define HUSHWALL_ICU_SYMBOL(name) HUSHWALL_ICU_STRING(name)
#define HUSHWALL_ICU_LOAD(name)                                                                  \
  table.name = reinterpret_cast<decltype(table.name)>(dlsym(handle, HUSHWALL_ICU_SYMBOL(name))); \
  complete = complete && table.name != nullptr;

namespace hushwall {

const IcuCommon* icuCommon() {
  static IcuCommon table;
  static bool loaded = false;
  static std::once_flag once;
  std::call_once(once, [] {
    // Never closed: the functions stay in use for the life of the process.
    void* handle = dlopen("libicuuc.so." U_ICU_VERSION_SHORT, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return;
    bool complete = true;
    HUSHWALL_ICU_COMMON(HUSHWALL_ICU_LOAD)
    loaded = complete;
  });
  return loaded ? &table : nullptr;
}

const IcuCalendar* icuCalendar() {
  static IcuCalendar table;
  static bool loaded = false;
  static std::once_flag once;
  std::call_once(once, [] {
    void* handle = dlopen("libicui18n.so." U_ICU_VERSION_SHORT, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return;
    bool complete = true;
    HUSHWALL_ICU_CALENDAR(HUSHWALL_ICU_LOAD)
    loaded = complete;
  });
  return loaded ? &table : nullptr;
}

}  // namespace hushwall
