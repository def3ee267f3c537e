// The slim lock, forwarded to kernel32.
#include "platform/win32/internal.h"

namespace platform {

static_assert(sizeof(SRWLOCK) == sizeof(::SRWLOCK), "SRWLOCK size");

namespace {

::PSRWLOCK Native(SRWLOCK* lock) {
    return reinterpret_cast<::PSRWLOCK>(lock);
}

}  // namespace

void InitializeSRWLock(SRWLOCK* lock) {
    ::InitializeSRWLock(Native(lock));
}

void AcquireSRWLockExclusive(SRWLOCK* lock) {
    ::AcquireSRWLockExclusive(Native(lock));
}

void ReleaseSRWLockExclusive(SRWLOCK* lock) {
    ::ReleaseSRWLockExclusive(Native(lock));
}

}  // namespace platform
