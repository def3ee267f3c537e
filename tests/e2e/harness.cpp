#include "harness.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace e2e {
namespace {

// The built programs, or those QELN_E2E_HOST / QELN_E2E_CHILD name (Linux
// paths, which Wine shows under Z:), so these drivers can run the 32-bit ones.
std::wstring BuildProgram(const char* variable, const char* builtIn) {
    const char* named = std::getenv(variable);
    std::wstring path = L"Z:";
    for (const char* c = named != nullptr && *named != '\0' ? named : builtIn; *c != '\0'; ++c)
        path += (*c == '/') ? L'\\' : static_cast<wchar_t>(*c);
    return path;
}

// A service opened by name, both handles closed on scope exit.
struct Service {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE handle;
    explicit Service(const wchar_t* name)
        : handle(manager ? OpenServiceW(manager, name, SERVICE_ALL_ACCESS) : nullptr) {}
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;
    ~Service() {
        if (handle) CloseServiceHandle(handle);
        if (manager) CloseServiceHandle(manager);
    }
    void StopAndDelete() const {
        SERVICE_STATUS status;
        if (ControlService(handle, SERVICE_CONTROL_STOP, &status)) {
            for (int i = 0; i < 400 && QueryServiceStatus(handle, &status) &&
                            status.dwCurrentState != SERVICE_STOPPED;
                 ++i)
                Sleep(50);
        }
        DeleteService(handle);
    }
};

bool UnderRoot(const std::wstring& path) {
    return _wcsnicmp(path.c_str(), L"C:\\qelntest\\", 12) == 0;
}

// Calls `visit(id, handle, image)` for each live process.
template <typename Visit>
void EachProcess(Visit visit) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        HANDLE process =
            OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                        entry.th32ProcessID);
        wchar_t image[MAX_PATH * 2] = {};
        DWORD length = MAX_PATH * 2;
        if (process && QueryFullProcessImageNameW(process, 0, image, &length) &&
            WaitForSingleObject(process, 0) == WAIT_TIMEOUT)
            visit(entry.th32ProcessID, process, std::wstring(image));
        if (process) CloseHandle(process);
    }
    CloseHandle(snapshot);
}

const wchar_t* const kStateNames[] = {L"?", L"STOPPED", L"START_PENDING", L"STOP_PENDING",
                                      L"RUNNING"};

// "i386", "x86-64" or "?": the kind of a Windows program.
const char* MachineOf(const std::wstring& exe) {
    DWORD kind = 99;
    GetBinaryTypeW(exe.c_str(), &kind);
    return kind == SCS_32BIT_BINARY ? "i386" : kind == SCS_64BIT_BINARY ? "x86-64" : "?";
}

// Before the first test: stops and deletes services whose program lies under
// the root (they start automatically, at every boot of the prefix), ends
// processes run from under it or running the child, and removes the root.
class LeftoverCleanup : public ::testing::Environment {
public:
    void SetUp() override {
        std::printf("[ e2e ] host under test: %ls (%s)\n[ e2e ] hosted child: %ls (%s)\n",
                    HostExe().c_str(), MachineOf(HostExe()), ChildExe().c_str(),
                    MachineOf(ChildExe()));
        Service scm(L"");
        DWORD needed = 0, count = 0;
        EnumServicesStatusExW(scm.manager, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL,
                              nullptr, 0, &needed, &count, nullptr, nullptr);
        std::vector<BYTE> buffer(needed + 4096);
        if (!EnumServicesStatusExW(scm.manager, SC_ENUM_PROCESS_INFO, SERVICE_WIN32,
                                   SERVICE_STATE_ALL, buffer.data(), buffer.size(), &needed, &count,
                                   nullptr, nullptr))
            count = 0;
        const auto* all = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSW*>(buffer.data());
        for (DWORD i = 0; i < count; ++i) {
            Service left(all[i].lpServiceName);
            std::vector<BYTE> config(8192);
            auto* record = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.data());
            if (!left.handle || !QueryServiceConfigW(left.handle, record, 8192, &needed)) continue;
            std::wstring path = record->lpBinaryPathName ? record->lpBinaryPathName : L"";
            if (!UnderRoot(path.substr(path.rfind(L'"', 0) == 0 ? 1 : 0))) continue;
            std::printf("[ e2e ] removing service %ls left by an earlier run\n",
                        all[i].lpServiceName);
            left.StopAndDelete();
        }
        EachProcess([](DWORD id, HANDLE process, const std::wstring& image) {
            if (!UnderRoot(image) && lstrcmpiW(image.c_str(), ChildExe().c_str()) != 0) return;
            std::printf("[ e2e ] ending process %lu (%ls) left by an earlier run\n",
                        static_cast<unsigned long>(id), image.c_str());
            TerminateProcess(process, 0xDEAD);
            WaitForSingleObject(process, kWaitMs);
        });
        DeleteTree(kRoot);
    }
};

::testing::Environment* const kCleanup = ::testing::AddGlobalTestEnvironment(new LeftoverCleanup);

}  // namespace

void DeleteTree(const std::wstring& path) {
    RunProgram(L"C:\\windows\\system32\\cmd.exe", L"/c rd /s /q \"" + path + L"\"");
}

std::wstring HostExe() {
    return BuildProgram("QELN_E2E_HOST", QELN_HOST_EXE);
}
std::wstring ChildExe() {
    return BuildProgram("QELN_E2E_CHILD", QELN_CHILD_EXE);
}

RunResult RunProgram(const std::wstring& exe, const std::wstring& arguments) {
    RunResult result;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    CreatePipe(&readEnd, &writeEnd, &inherit, 0);
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = writeEnd;
    PROCESS_INFORMATION process = {};
    std::wstring line = L"\"" + exe + L"\" " + arguments;
    std::wstring directory = exe.substr(0, exe.rfind(L'\\'));
    BOOL started = CreateProcessW(exe.c_str(), &line[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                  nullptr, directory.c_str(), &startup, &process);
    CloseHandle(writeEnd);
    std::string bytes;
    char chunk[4096];
    DWORD got = 0;
    while (started && ReadFile(readEnd, chunk, sizeof chunk, &got, nullptr) && got > 0)
        bytes.append(chunk, got);
    CloseHandle(readEnd);
    if (!started) return result;
    result.finished = WaitForSingleObject(process.hProcess, kWaitMs) == WAIT_OBJECT_0;
    if (!result.finished) TerminateProcess(process.hProcess, 0xDEAD);
    GetExitCodeProcess(process.hProcess, &result.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    std::wstring text(bytes.begin(), bytes.end());  // ASCII, or UTF-16 when it has zeros
    if (bytes.find('\0') != std::string::npos && bytes.size() % 2 == 0)
        text.assign(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    for (wchar_t c : text)
        if (c != L'\r') result.output += c;
    return result;
}

Process::~Process() {
    if (Running()) TerminateProcess(handle, 0xDEAD);
    if (handle) CloseHandle(handle);
}
bool Process::Open(DWORD pid) {
    handle = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE, FALSE, pid);
    return handle != nullptr;
}
bool Process::Running() const {
    return handle && WaitForSingleObject(handle, 0) == WAIT_TIMEOUT;
}
DWORD Process::ExitCode() const {
    DWORD code = 0xDEADBEEF;
    if (handle && WaitForSingleObject(handle, kWaitMs) == WAIT_OBJECT_0)
        GetExitCodeProcess(handle, &code);
    return code;
}

std::wstring Describe(const States& states) {
    std::wstring text;
    for (DWORD state : states)
        text += std::wstring(kStateNames[state <= 4 ? state : 0]) + L" ";
    return text;
}

bool Matches(const States& states, const std::wstring& pattern) {
    size_t at = 0;
    for (size_t begin = 0; begin < pattern.size();) {
        size_t end = pattern.find(L' ', begin);
        if (end == std::wstring::npos) end = pattern.size();
        std::wstring name = pattern.substr(begin, end - begin);
        begin = end + 1;
        bool optional = name.back() == L'?';
        if (optional) name.pop_back();
        if (at < states.size() && Describe({states[at]}) == name + L" ") {
            ++at;
        } else if (!optional) {
            return false;
        }
    }
    return at == states.size();
}

bool StillRuns(const std::wstring& exe) {
    for (int i = 0; i < 400; ++i, Sleep(50)) {
        bool found = false;
        EachProcess([&](DWORD, HANDLE, const std::wstring& image) {
            found = found || lstrcmpiW(image.c_str(), exe.c_str()) == 0;
        });
        if (!found) return false;
    }
    return true;
}

Site::Site(wchar_t c)
    : dir(std::wstring(kSites) + L"\\site" + c),
      exe(dir + L"\\qelnhost.exe"),
      name(std::wstring(L"QELN") + c),
      work(dir + L"\\w\u00f6rk dir") {
    Remove();
    CreateDirectoryW(kRoot, nullptr);
    CreateDirectoryW(kSites, nullptr);
    ready = CreateDirectoryW(dir.c_str(), nullptr) && CreateDirectoryW(work.c_str(), nullptr) &&
            CopyFileW(HostExe().c_str(), exe.c_str(), FALSE);
}

Site::~Site() {
    Quit(0x7E5D);
    Remove();
    RemoveDirectoryW(kSites);
    RemoveDirectoryW(kRoot);
}

// Stops and deletes the service (bounded: one that does not stop is deleted
// all the same), then what is left of its key, and the files.
void Site::Remove() const {
    Service(name.c_str()).StopAndDelete();
    for (int i = 0; i < 400 && Exists(); ++i)
        Sleep(50);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, (L"SYSTEM\\CurrentControlSet\\Services\\" + name).c_str());
    Sleep(100);  // a waiting child told to quit lets go of its directory
    DeleteTree(dir);
}

bool Site::Exists() const {
    return Service(name.c_str()).handle != nullptr;
}

SERVICE_STATUS_PROCESS Site::Status() const {
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    QueryServiceStatusEx(Service(name.c_str()).handle, SC_STATUS_PROCESS_INFO,
                         reinterpret_cast<BYTE*>(&status), sizeof status, &needed);
    return status;
}

bool Site::Configure(const std::wstring& application, const std::wstring& parameters) const {
    HKEY key = nullptr;
    std::wstring path = L"SYSTEM\\CurrentControlSet\\Services\\" + name + L"\\Parameters";
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        return false;
    bool ok = true;
    for (const auto& value :
         {std::make_pair(L"AppDirectory", work), std::make_pair(L"Application", application),
          std::make_pair(L"AppParameters", parameters)}) {
        ok = ok && RegSetValueExW(key, value.first, 0, REG_SZ,
                                  reinterpret_cast<const BYTE*>(value.second.c_str()),
                                  (value.second.size() + 1) * sizeof(wchar_t)) == ERROR_SUCCESS;
    }
    RegCloseKey(key);
    return ok;
}

std::wstring Site::ChildLine(const std::wstring& end) const {
    std::wstring tail = end == L"/wait" ? L"/wait:\"" + work + L"\\quit.txt\"" : end;
    return L"hosted-app  \"" + ChildExe() + L"\" /report:\"" + ReportPath() + L"\" " + tail +
           L"   \"two words\" caf\u00e9 \u0416 ";
}

bool Site::Quit(DWORD code) const {
    std::wstring path = work + L"\\quit.txt", aside = path + L".part";
    std::string text = std::to_string(code);
    HANDLE file = CreateFileW(aside.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    bool ok = WriteFile(file, text.data(), text.size(), &written, nullptr);
    CloseHandle(file);
    return ok && MoveFileExW(aside.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

bool Site::Start() const {
    DeleteFileW(ReportPath().c_str());
    DeleteFileW((work + L"\\quit.txt").c_str());
    Service service(name.c_str());
    for (int attempt = 0; attempt < 3; ++attempt, Sleep(200)) {
        if (StartServiceW(service.handle, 0, nullptr)) return true;
        if (GetLastError() != ERROR_INTERNAL_ERROR) break;
        std::printf("[ e2e ] StartServiceW: ERROR_INTERNAL_ERROR from Wine, retried\n");
    }
    ADD_FAILURE() << "StartServiceW error " << GetLastError();
    return false;
}

bool Site::WaitFor(DWORD state, States* seen) const {
    Service service(name.c_str());
    SERVICE_STATUS status;
    for (DWORD start = GetTickCount(); GetTickCount() - start < kWaitMs; Sleep(10)) {
        if (!QueryServiceStatus(service.handle, &status)) continue;
        if (seen->empty() || seen->back() != status.dwCurrentState)
            seen->push_back(status.dwCurrentState);
        if (status.dwCurrentState == state) return true;
    }
    return false;
}

DWORD Site::Stop() const {
    SERVICE_STATUS status = {};
    if (ControlService(Service(name.c_str()).handle, SERVICE_CONTROL_STOP, &status))
        return status.dwCurrentState;
    std::printf("[ e2e ] ControlService error %lu\n", GetLastError());
    return 0;
}

std::vector<BYTE> Site::Config() const {
    Service service(name.c_str());
    DWORD needed = 0;
    QueryServiceConfigW(service.handle, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    if (needed == 0 || !QueryServiceConfigW(service.handle,
                                            reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data()),
                                            needed, &needed))
        buffer.clear();
    return buffer;
}

bool Site::ReadReport(std::map<std::wstring, std::wstring>* report) const {
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int i = 0; i < 1000 && file == INVALID_HANDLE_VALUE; ++i, Sleep(20))
        file = CreateFileW(ReportPath().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    wchar_t text[8192] = {};
    DWORD got = 0;
    ReadFile(file, text, sizeof text - sizeof(wchar_t), &got, nullptr);
    CloseHandle(file);
    std::wistringstream lines(text);
    for (std::wstring line; std::getline(lines, line);) {
        size_t equals = line.find(L'=');
        if (equals != std::wstring::npos)
            (*report)[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return true;
}

}  // namespace e2e
