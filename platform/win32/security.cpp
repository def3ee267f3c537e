// File security, forwarded to advapi32, and the block it hands out, freed by
// kernel32.
#include "platform/win32/internal.h"

#include <cstddef>

namespace platform {

using win32_internal::Wide;

static_assert(sizeof(ACL) == sizeof(::ACL), "ACL size");
static_assert(offsetof(ACL, AclSize) == offsetof(::ACL, AclSize), "ACL layout");
static_assert(offsetof(ACL, AceCount) == offsetof(::ACL, AceCount), "ACL layout");
static_assert(platform::SE_FILE_OBJECT == ::SE_FILE_OBJECT, "SE_FILE_OBJECT");

DWORD GetNamedSecurityInfoW(const WCHAR* name, DWORD object_type, DWORD info, void** owner,
                            void** group, ACL** dacl, ACL** sacl, void** descriptor) {
    return ::GetNamedSecurityInfoW(Wide(name), static_cast<::SE_OBJECT_TYPE>(object_type), info,
                                   owner, group, reinterpret_cast<::PACL*>(dacl),
                                   reinterpret_cast<::PACL*>(sacl), descriptor);
}

void* LocalFree(void* memory) {
    return ::LocalFree(memory);
}

}  // namespace platform
