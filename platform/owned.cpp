#include "platform/owned.h"

namespace platform {

WCHAR* WideConcat(const WCHAR* a, const WCHAR* b, const WCHAR* c) {
    const WCHAR* parts[3] = {a, b, c};
    std::size_t lengths[3] = {0, 0, 0};
    std::size_t total = 0;
    for (int i = 0; i < 3; ++i) {
        if (parts[i] != nullptr) lengths[i] = WideLength(parts[i]);
        total += lengths[i];
    }
    WCHAR* out = static_cast<WCHAR*>(HeapAllocate((total + 1) * sizeof(WCHAR)));
    if (out == nullptr) return nullptr;
    std::size_t at = 0;
    for (int i = 0; i < 3; ++i) {
        for (std::size_t k = 0; k < lengths[i]; ++k)
            out[at++] = parts[i][k];
    }
    out[at] = 0;
    return out;
}

bool WideEqual(const WCHAR* a, const WCHAR* b) {
    std::size_t i = 0;
    for (; a[i] != 0 && a[i] == b[i]; ++i) {
    }
    return a[i] == b[i];
}

const WCHAR* WideDecimal(DWORD value, WCHAR (&digits)[11]) {
    int at = 10;
    digits[at] = 0;
    do {
        digits[--at] = static_cast<WCHAR>(u'0' + value % 10);
        value /= 10;
    } while (value != 0);
    return digits + at;
}

}  // namespace platform
