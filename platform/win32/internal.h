// Shared by the files of the Win32 layer only: the one place that brings in
// <windows.h>, and the conversions between the portable and the native types.
//
// platform.h comes first: <windows.h> defines many of its constant names
// (ERROR_SUCCESS, TRUE, INFINITE, ...) as macros, which would break the
// portable declarations. After this header the layer uses the native names
// for constants and spells portable types with `platform::`.
#ifndef QELN_PLATFORM_WIN32_INTERNAL_H
#define QELN_PLATFORM_WIN32_INTERNAL_H

#include "platform/platform.h"

#include <windows.h>
#include <aclapi.h>

namespace platform {
namespace win32_internal {

// Text: char16_t and wchar_t are the same 16-bit unit on Windows.
static_assert(sizeof(WCHAR) == sizeof(wchar_t), "UTF-16 units must match the native wide char");
static_assert(sizeof(DWORD) == sizeof(::DWORD), "DWORD must be 32 bits on both sides");
static_assert(sizeof(LONG) == sizeof(::LONG), "LONG must be 32 bits on both sides");
static_assert(sizeof(BOOL) == sizeof(::BOOL), "BOOL sizes must match");

inline const wchar_t* Wide(const WCHAR* text) {
    return reinterpret_cast<const wchar_t*>(text);
}
inline wchar_t* Wide(WCHAR* text) {
    return reinterpret_cast<wchar_t*>(text);
}

// Handles are opaque pointers on the portable side: the native value travels
// unchanged in the pointer.
inline ::HKEY Native(HKEY key) {
    return reinterpret_cast<::HKEY>(key);
}
inline ::SC_HANDLE Native(SC_HANDLE handle) {
    return reinterpret_cast<::SC_HANDLE>(handle);
}
inline ::SERVICE_STATUS_HANDLE Native(SERVICE_STATUS_HANDLE handle) {
    return reinterpret_cast<::SERVICE_STATUS_HANDLE>(handle);
}
inline ::HANDLE Native(HANDLE handle) {
    return reinterpret_cast<::HANDLE>(handle);
}

inline HKEY Portable(::HKEY key) {
    return reinterpret_cast<HKEY>(key);
}
inline SC_HANDLE Portable(::SC_HANDLE handle) {
    return reinterpret_cast<SC_HANDLE>(handle);
}
inline SERVICE_STATUS_HANDLE Portable(::SERVICE_STATUS_HANDLE handle) {
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(handle);
}

// An optional 32-bit in/out parameter: the native side takes unsigned long,
// the portable side uint32_t. Copies in on construction; Store() copies back,
// so a value the call did not write comes back unchanged. Null stays null.
class DwordInOut {
public:
    explicit DwordInOut(DWORD* portable) : portable_(portable), value_(portable ? *portable : 0) {}
    ::DWORD* get() { return portable_ ? &value_ : nullptr; }
    void Store() const {
        if (portable_) *portable_ = static_cast<DWORD>(value_);
    }

private:
    DWORD* portable_;
    ::DWORD value_;
};

}  // namespace win32_internal
}  // namespace platform

#endif
