// The host's heap: the process heap of kernel32.
#include "platform/win32/internal.h"

namespace platform {

void* HeapAllocate(std::size_t bytes) {
    return ::HeapAlloc(::GetProcessHeap(), 0, bytes);
}

void HeapRelease(void* block) {
    if (block) ::HeapFree(::GetProcessHeap(), 0, block);
}

}  // namespace platform
