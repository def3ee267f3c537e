// The host's heap: the process heap of kernel32.
#include "platform/win32/internal.h"

namespace platform {

// HeapAlloc sets no last error when it fails: this says why.
void* HeapAllocate(std::size_t bytes) {
    void* block = ::HeapAlloc(::GetProcessHeap(), 0, bytes);
    if (!block) ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return block;
}

void HeapRelease(void* block) {
    if (block) ::HeapFree(::GetProcessHeap(), 0, block);
}

}  // namespace platform
