// The Windows-side helpers that the end-to-end tables and the benchmark
// share: paths, files, the clock, the service queries, the removal of a
// service and the Parameters writer.
#ifndef QELN_TESTS_E2E_WINKIT_H
#define QELN_TESTS_E2E_WINKIT_H

#include <windows.h>

#include <cwchar>
#include <string>

constexpr DWORD kWaitMs = 20000;

// The build tree is a Linux path; Wine shows the Linux root as drive Z:.
inline std::wstring FromBuildPath(const char* linuxPath) {
    std::wstring path = L"Z:";
    for (const char* c = linuxPath; *c != '\0'; ++c)
        path += (*c == '/') ? L'\\' : static_cast<wchar_t>(*c);
    return path;
}

inline std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text)
        out += (c < 128) ? static_cast<char>(c) : '?';
    return out;
}

inline double NowMs() {
    static const double ticksPerMs = [] {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        return static_cast<double>(frequency.QuadPart) / 1000.0;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / ticksPerMs;
}

inline bool CreateTree(const std::wstring& path) {
    for (size_t at = path.find(L'\\', 3);; at = path.find(L'\\', at + 1)) {
        std::wstring part = path.substr(0, at);
        DWORD attributes = GetFileAttributesW(part.c_str());
        bool isDirectory =
            attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (!isDirectory && !CreateDirectoryW(part.c_str(), nullptr)) return false;
        if (at == std::wstring::npos) return true;
    }
}

inline void DeleteTree(const std::wstring& path) {
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring full = path + L"\\" + name;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                DeleteTree(full);
            } else {
                SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(full.c_str());
            }
        } while (FindNextFileW(find, &entry));
        FindClose(find);
    }
    RemoveDirectoryW(path.c_str());
}

inline bool KeyExists(const wchar_t* path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

inline DWORD CurrentState(SC_HANDLE service) {
    SERVICE_STATUS status;
    return QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
}

// Polls every millisecond until the service reports `state`; returns the time
// it was seen, or a negative number on timeout or on STOPPED while waiting for
// another state.
inline double PollFor(SC_HANDLE service, DWORD state) {
    double start = NowMs();
    for (;;) {
        DWORD current = CurrentState(service);
        double now = NowMs();
        if (current == state) return now;
        if (current == SERVICE_STOPPED && state != SERVICE_STOPPED) return -1;
        if (now - start > kWaitMs) return -1;
        Sleep(1);
    }
}

// The service's status record with its process id; all 0 when the query fails.
inline SERVICE_STATUS_PROCESS StatusOf(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                         sizeof status, &needed);
    return status;
}

// Stops and deletes the service `name`, if any (one that does not stop is
// deleted all the same), waits until the SCM has let it go, then deletes what
// is left of its registry key.
inline void RemoveService(SC_HANDLE manager, const std::wstring& name) {
    if (SC_HANDLE service = OpenServiceW(manager, name.c_str(), SERVICE_ALL_ACCESS)) {
        SERVICE_STATUS status;
        if (ControlService(service, SERVICE_CONTROL_STOP, &status))
            PollFor(service, SERVICE_STOPPED);
        DeleteService(service);
        CloseServiceHandle(service);
    }
    for (DWORD waited = 0; waited < kWaitMs; waited += 50) {
        SC_HANDLE still = OpenServiceW(manager, name.c_str(), SERVICE_QUERY_STATUS);
        if (still == nullptr) break;
        CloseServiceHandle(still);
        Sleep(50);
    }
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, (L"SYSTEM\\CurrentControlSet\\Services\\" + name).c_str());
}

// Writes the three Parameters values of the service `name` as `type`,
// AppParameters without its terminator unless `terminated`: from a buffer
// whose next character is not one, so that the registry does not add it.
inline bool WriteParameters(const std::wstring& name, const std::wstring& application,
                            const std::wstring& directory, std::wstring line,
                            bool terminated = true, DWORD type = REG_SZ) {
    const std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\" + name + L"\\Parameters";
    const DWORD bytes = static_cast<DWORD>((line.size() + terminated) * sizeof(wchar_t));
    line += terminated ? L'\0' : L'x';
    auto set = [&](const wchar_t* value, const std::wstring& text, DWORD size) {
        return !RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), value, type, text.c_str(), size);
    };
    return set(L"AppDirectory", directory, (directory.size() + 1) * sizeof(wchar_t)) &&
           set(L"Application", application, (application.size() + 1) * sizeof(wchar_t)) &&
           set(L"AppParameters", line, bytes);
}

// A whole file's bytes; empty when it cannot be read.
inline std::string ReadBytes(const std::wstring& path) {
    std::string bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    char chunk[4096];
    for (DWORD got = 0; ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got != 0;)
        bytes.append(chunk, got);
    CloseHandle(file);
    return bytes;
}

// The child's report (UTF-16): what it wrote, or empty.
inline std::wstring ReadReport(const std::wstring& path) {
    const std::string bytes = ReadBytes(path);
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
}

// The child's process id: the last number of its report, whose last line is
// its parent's id and its own.
inline DWORD ChildProcessId(const std::wstring& reportPath) {
    const std::wstring text = ReadReport(reportPath);
    return static_cast<DWORD>(wcstoul(text.c_str() + text.rfind(L' ') + 1, nullptr, 10));
}

#endif
