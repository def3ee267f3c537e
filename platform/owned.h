// Owners for everything the host opens or allocates, and the few wide-string
// helpers the host needs. Portable: built only on platform.h.
#ifndef QELN_PLATFORM_OWNED_H
#define QELN_PLATFORM_OWNED_H

#include "platform/platform.h"

namespace platform {

// One owner per handle kind (all of them pointers): the close function is a template argument, so
// the owner is the size of the handle. Moves, never copies.
template <typename T, auto Close>
class UniqueOwner {
public:
    UniqueOwner() = default;
    explicit UniqueOwner(T value) : value_(value) {}
    ~UniqueOwner() { reset(); }
    UniqueOwner(const UniqueOwner&) = delete;
    UniqueOwner& operator=(const UniqueOwner&) = delete;
    UniqueOwner(UniqueOwner&& other) noexcept : value_(other.release()) {}
    UniqueOwner& operator=(UniqueOwner&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    T get() const { return value_; }
    explicit operator bool() const { return value_ != nullptr; }
    T release() {
        T value = value_;
        value_ = nullptr;
        return value;
    }
    void reset(T value = nullptr) {
        T old = value_;
        value_ = value;
        if (old != nullptr) Close(old);
    }
    // Releases the current value and hands out the address for an out-parameter.
    T* put() {
        reset();
        return &value_;
    }

private:
    T value_ = nullptr;
};

inline void CloseKeyOwner(HKEY key) {
    RegCloseKey(key);
}
inline void CloseScOwner(SC_HANDLE handle) {
    CloseServiceHandle(handle);
}
inline void CloseHandleOwner(HANDLE handle) {
    CloseHandle(handle);
}
inline void ReleaseHeapOwner(WCHAR* block) {
    HeapRelease(block);
}
inline void LocalFreeOwner(void* block) {
    LocalFree(block);
}

using KeyOwner = UniqueOwner<HKEY, CloseKeyOwner>;
using ScOwner = UniqueOwner<SC_HANDLE, CloseScOwner>;
using HandleOwner = UniqueOwner<HANDLE, CloseHandleOwner>;
// A wide string (or buffer) allocated on the host's heap.
using WideOwner = UniqueOwner<WCHAR*, ReleaseHeapOwner>;
// A block the platform allocated for the host (a security descriptor).
using LocalOwner = UniqueOwner<void*, LocalFreeOwner>;

// Length of a terminated wide string, in characters.
inline std::size_t WideLength(const WCHAR* text) {
    std::size_t n = 0;
    while (text[n] != 0)
        ++n;
    return n;
}

// A new heap string made of the given parts in order (null parts count as
// empty); null when the allocation fails.
WCHAR* WideConcat(const WCHAR* a, const WCHAR* b = nullptr, const WCHAR* c = nullptr);

// Compares two terminated wide strings exactly.
bool WideEqual(const WCHAR* a, const WCHAR* b);

// `value` in decimal, written at the end of `digits`; returns where it starts.
const WCHAR* WideDecimal(DWORD value, WCHAR (&digits)[11]);

}  // namespace platform

#endif
