// Text steps that need no system service, shared by both platform
// implementations so the Windows build does not load USER32 for them.
#include "platform/platform.h"

namespace platform {

namespace {

// The nonspacing marks that combine with the character before them: the
// blocks of combining marks (diacritics, their extensions and supplement,
// marks for symbols, half marks).
bool IsNonspacingMark(WCHAR c) {
    return (c >= 0x0300 && c <= 0x036F) || (c >= 0x1AB0 && c <= 0x1AFF) ||
           (c >= 0x1DC0 && c <= 0x1DFF) || (c >= 0x20D0 && c <= 0x20FF) ||
           (c >= 0xFE20 && c <= 0xFE2F);
}

}  // namespace

// The character before `current`: one UTF-16 unit back, then back over the
// nonspacing marks to the character they belong to, as Windows documents for
// CharPrevW ("a" and U+030A are one character). At (or before) the start,
// the position itself.
WCHAR* CharPrevW(const WCHAR* start, const WCHAR* current) {
    if (current <= start) return const_cast<WCHAR*>(current);
    const WCHAR* at = current - 1;
    while (at > start && IsNonspacingMark(*at))
        --at;
    return const_cast<WCHAR*>(at);
}

}  // namespace platform
