#include "service/naming.h"

#include "platform/owned.h"

using namespace platform;

namespace {

const WCHAR kServicePrefix[] = u"QELN";
const WCHAR kDisplayPrefix[] = u"Quellith Group ";

// The long form of `path` (taken over): a copy started through an 8.3 name
// such as C:\x\INST~G2I\ still names itself after C:\x\instance-3\ and
// registers that path, which outlives the short names of the volume. The
// path as it is when its long form cannot be had.
WCHAR* LongForm(WCHAR* path) {
    WideOwner given(path);
    const DWORD needed = GetLongPathNameW(given.get(), nullptr, 0);
    WideOwner whole(needed != 0 ? static_cast<WCHAR*>(HeapAllocate(needed * sizeof(WCHAR)))
                                : nullptr);
    if (!whole) return given.release();
    const DWORD length = GetLongPathNameW(given.get(), whole.get(), needed);
    return length != 0 && length < needed ? whole.release() : given.release();
}

}  // namespace

WCHAR* GetModulePath() {
    // Start at the classic 260 characters and grow while the path comes back
    // cut, so a deep directory still yields its real last character.
    DWORD capacity = MAX_PATH;
    for (;;) {
        WideOwner buffer(static_cast<WCHAR*>(HeapAllocate((capacity + 1) * sizeof(WCHAR))));
        if (!buffer) return nullptr;
        buffer.get()[0] = 0;
        DWORD length = GetModuleFileNameW(nullptr, buffer.get(), capacity);
        if (length == 0) return nullptr;
        if (length < capacity) {
            buffer.get()[length] = 0;
            return LongForm(buffer.release());
        }
        if (capacity >= MAX_LONG_PATH + 1) {  // longer than any path can be
            SetLastError(ERROR_BAD_PATHNAME);
            return nullptr;
        }
        capacity = capacity * 2 > MAX_LONG_PATH + 1 ? MAX_LONG_PATH + 1 : capacity * 2;
    }
}

WCHAR* GetInstanceSuffix() {
    WideOwner path(GetModulePath());
    if (!path) return nullptr;
    const WCHAR* text = path.get();
    const WCHAR* last_backslash = nullptr;
    for (const WCHAR* p = text; *p != 0; ++p) {
        if (*p == u'\\') last_backslash = p;
    }
    if (last_backslash == nullptr) {
        SetLastError(ERROR_BAD_PATHNAME);
        return nullptr;
    }
    WCHAR* suffix = static_cast<WCHAR*>(HeapAllocate(2 * sizeof(WCHAR)));
    if (suffix == nullptr) return nullptr;
    suffix[0] = *CharPrevW(text, last_backslash);
    suffix[1] = 0;
    return suffix;
}

namespace {

WCHAR* BuildName(const WCHAR* prefix) {
    WideOwner suffix(GetInstanceSuffix());
    if (!suffix) return nullptr;
    return WideConcat(prefix, suffix.get());
}

}  // namespace

WCHAR* BuildServiceName() {
    return BuildName(kServicePrefix);
}

WCHAR* BuildDisplayName() {
    return BuildName(kDisplayPrefix);
}
