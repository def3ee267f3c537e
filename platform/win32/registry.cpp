// The registry operations, forwarded to advapi32.
#include "platform/win32/internal.h"

namespace {
// The native root, taken while HKEY_LOCAL_MACHINE is still the <windows.h>
// macro; the portable constant of the same name is defined from it below.
const ::HKEY kNativeLocalMachine = HKEY_LOCAL_MACHINE;
}  // namespace

#undef HKEY_LOCAL_MACHINE

namespace platform {

using win32_internal::DwordInOut;
using win32_internal::Native;
using win32_internal::Portable;
using win32_internal::Wide;

HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(kNativeLocalMachine);

LONG RegOpenKeyExW(HKEY root, const WCHAR* path, DWORD options, DWORD access, HKEY* out) {
    ::HKEY key = out ? Native(*out) : nullptr;
    LONG result = ::RegOpenKeyExW(Native(root), Wide(path), options, access, out ? &key : nullptr);
    if (out) *out = Portable(key);
    return result;
}

LONG RegOpenKeyW(HKEY root, const WCHAR* path, HKEY* out) {
    ::HKEY key = out ? Native(*out) : nullptr;
    LONG result = ::RegOpenKeyW(Native(root), Wide(path), out ? &key : nullptr);
    if (out) *out = Portable(key);
    return result;
}

LONG RegCreateKeyExW(HKEY root, const WCHAR* path, DWORD reserved, WCHAR* klass, DWORD options,
                     DWORD access, void* security, HKEY* out, DWORD* disposition) {
    ::HKEY key = out ? Native(*out) : nullptr;
    DwordInOut native_disposition(disposition);
    LONG result = ::RegCreateKeyExW(Native(root), Wide(path), reserved, Wide(klass), options,
                                    access, static_cast<LPSECURITY_ATTRIBUTES>(security),
                                    out ? &key : nullptr, native_disposition.get());
    if (out) *out = Portable(key);
    native_disposition.Store();
    return result;
}

LONG RegQueryValueExW(HKEY key, const WCHAR* name, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* size) {
    DwordInOut native_reserved(reserved);
    DwordInOut native_type(type);
    DwordInOut native_size(size);
    LONG result = ::RegQueryValueExW(Native(key), Wide(name), native_reserved.get(),
                                     native_type.get(), data, native_size.get());
    native_type.Store();
    native_size.Store();
    return result;
}

LONG RegSetValueExW(HKEY key, const WCHAR* name, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD size) {
    return ::RegSetValueExW(Native(key), Wide(name), reserved, type, data, size);
}

LONG RegDeleteValueW(HKEY key, const WCHAR* name) {
    return ::RegDeleteValueW(Native(key), Wide(name));
}

LONG RegCloseKey(HKEY key) {
    return ::RegCloseKey(Native(key));
}

}  // namespace platform
