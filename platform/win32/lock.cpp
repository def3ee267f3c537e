// The critical section, forwarded to kernel32.
#include "platform/win32/internal.h"

#include <cstddef>

namespace platform {

static_assert(sizeof(CRITICAL_SECTION) == sizeof(::CRITICAL_SECTION), "CRITICAL_SECTION size");
static_assert(offsetof(CRITICAL_SECTION, SpinCount) == offsetof(::CRITICAL_SECTION, SpinCount),
              "CRITICAL_SECTION layout");

namespace {

::LPCRITICAL_SECTION Native(CRITICAL_SECTION* section) {
    return reinterpret_cast<::LPCRITICAL_SECTION>(section);
}

}  // namespace

void InitializeCriticalSection(CRITICAL_SECTION* section) {
    ::InitializeCriticalSection(Native(section));
}

void EnterCriticalSection(CRITICAL_SECTION* section) {
    ::EnterCriticalSection(Native(section));
}

void LeaveCriticalSection(CRITICAL_SECTION* section) {
    ::LeaveCriticalSection(Native(section));
}

}  // namespace platform
