// Text steps that need no system service, shared by both platform
// implementations so the Windows build does not load USER32 for them.
#include "platform/platform.h"

namespace platform {

// One UTF-16 unit back; at (or before) the start, the position itself. The
// system's CharPrevW steps the same way: a surrogate pair or a combining mark
// is not taken as one character.
WCHAR* CharPrevW(const WCHAR* start, const WCHAR* current) {
    return const_cast<WCHAR*>(current > start ? current - 1 : current);
}

}  // namespace platform
