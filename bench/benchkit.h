// The benchmark driver's own helpers (messages, files it waits for, the
// figures and the result rows), beside those it shares with the end-to-end
// tables.
#ifndef QELN_BENCH_BENCHKIT_H
#define QELN_BENCH_BENCHKIT_H

#include "tests/e2e/winkit.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <vector>

inline void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
inline void Say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

inline bool FileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline bool WriteTextFile(const std::wstring& path, const std::string& text) {
    std::wstring aside = path + L".part";
    HANDLE file = CreateFileW(aside.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == text.size() &&
           MoveFileExW(aside.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

inline bool WaitForFile(const std::wstring& path, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (!FileExists(path)) {
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(5);
    }
    return true;
}

// Waits until the process `pid` has gone (when it can be opened at all).
inline void WaitForProcessEnd(DWORD pid) {
    if (pid == 0) return;
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (process == nullptr) return;
    WaitForSingleObject(process, kWaitMs);
    CloseHandle(process);
}

// Medians and quartiles of the timings, and the result rows.
struct Summary {
    double median = 0, min = 0, max = 0, q1 = 0, q3 = 0;
};

inline double Quantile(const std::vector<double>& sorted, double q) {
    double at = q * static_cast<double>(sorted.size() - 1);
    size_t low = static_cast<size_t>(at);
    size_t high = std::min(low + 1, sorted.size() - 1);
    return sorted[low] + (sorted[high] - sorted[low]) * (at - static_cast<double>(low));
}

inline Summary Summarise(std::vector<double> values) {
    Summary summary;
    if (values.empty()) return summary;
    std::sort(values.begin(), values.end());
    summary.median = Quantile(values, 0.5);
    summary.q1 = Quantile(values, 0.25);
    summary.q3 = Quantile(values, 0.75);
    summary.min = values.front();
    summary.max = values.back();
    return summary;
}

inline void Row(const std::string& figure, const std::string& value, const std::string& target,
                const std::string& verdict) {
    std::printf("ROW|%s|%s|%s|%s\n", figure.c_str(), value.c_str(), target.c_str(),
                verdict.c_str());
}

inline std::string Format(const char* format, double a, double b = 0, double c = 0, double d = 0,
                          double e = 0) {
    char text[160];
    std::snprintf(text, sizeof text, format, a, b, c, d, e);
    return text;
}

#endif
