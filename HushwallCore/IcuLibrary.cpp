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
namespace {

// Opens `library` once and lets `fill` take the table's functions from it; the
// table counts only when every one was found. One table per instantiation.
template <class Table, class Fill>
const Table* loadOnce(const char* library, Fill fill) {
  static Table table;
  static bool loaded = false;
  static std::once_flag once;
  std::call_once(once, [&] {
    // Never closed: the functions stay in use for the life of the process.
    void* handle = dlopen(library, RTLD_NOW | RTLD_LOCAL);
    loaded = handle != nullptr && fill(handle, table);
  });
  return loaded ? &table : nullptr;
}

}  // namespace

const IcuCommon* icuCommon() {
  return loadOnce<IcuCommon>("libicuuc.so." U_ICU_VERSION_SHORT, [](void* handle, IcuCommon& table) {
    bool complete = true;
    HUSHWALL_ICU_COMMON(HUSHWALL_ICU_LOAD)
    return complete;
  });
}

const IcuCalendar* icuCalendar() {
  return loadOnce<IcuCalendar>("libicui18n.so." U_ICU_VERSION_SHORT, [](void* handle, IcuCalendar& table) {
    bool complete = true;
    HUSHWALL_ICU_CALENDAR(HUSHWALL_ICU_LOAD)
    return complete;
  });
}

}  // namespace hushwall
