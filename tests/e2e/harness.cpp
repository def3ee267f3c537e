#include "harness.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace e2e {
namespace {

// The build tree is a Linux path; Wine shows the Linux root as drive Z:.
std::wstring FromBuildPath(const char* linuxPath) {
    std::wstring path = L"Z:";
    for (const char* c = linuxPath; *c != '\0'; ++c)
        path += (*c == '/') ? L'\\' : static_cast<wchar_t>(*c);
    return path;
}

std::wstring Decode(const std::string& bytes) {
    std::wstring text;
    bool wide = bytes.find('\0') != std::string::npos && bytes.size() % 2 == 0;
    if (wide) {
        text.assign(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    } else if (!bytes.empty()) {
        int length = MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()),
                                         nullptr, 0);
        text.resize(static_cast<size_t>(length));
        MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0],
                            length);
    }
    std::wstring lines;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') continue;
        lines += text[i];
    }
    return lines;
}

const wchar_t* StateName(DWORD state) {
    switch (state) {
        case SERVICE_STOPPED:
            return L"STOPPED";
        case SERVICE_START_PENDING:
            return L"START_PENDING";
        case SERVICE_STOP_PENDING:
            return L"STOP_PENDING";
        case SERVICE_RUNNING:
            return L"RUNNING";
        default:
            return L"OTHER";
    }
}

bool IsDirectory(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

// The programs under test: those of this build, or the ones that
// QELN_E2E_HOST and QELN_E2E_CHILD name (Linux paths), so that these drivers
// can run the 32-bit host and child of the other Windows build.
std::wstring BuildProgram(const char* variable, const char* builtIn) {
    const char* named = std::getenv(variable);
    return FromBuildPath(named != nullptr && *named != '\0' ? named : builtIn);
}

std::wstring HostExe() {
    return BuildProgram("QELN_E2E_HOST", QELN_HOST_EXE);
}
std::wstring ChildExe() {
    return BuildProgram("QELN_E2E_CHILD", QELN_CHILD_EXE);
}
std::wstring ScenarioDir(const std::wstring& scenario) {
    return kRoot + std::wstring(L"\\") + scenario;
}

void RemoveScenario(const std::wstring& scenario) {
    DeleteTree(ScenarioDir(scenario));
    RemoveDirectoryW(kRoot);
}

bool CreateTree(const std::wstring& path) {
    for (size_t at = path.find(L'\\', 3);; at = path.find(L'\\', at + 1)) {
        std::wstring part = path.substr(0, at);
        if (!IsDirectory(part) && !CreateDirectoryW(part.c_str(), nullptr)) return false;
        if (at == std::wstring::npos) return true;
    }
}

void DeleteTree(const std::wstring& path) {
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

bool FileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool WriteTextFile(const std::wstring& path, const std::string& text) {
    // Written aside and moved into place, so a reader never sees half of it.
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

RunResult RunProgram(const std::wstring& exe, const std::wstring& arguments, DWORD timeoutMs) {
    RunResult result;
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) return result;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    HANDLE nul = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                             OPEN_EXISTING, 0, nullptr);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION process = {};
    std::wstring commandLine = L"\"" + exe + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
    std::wstring directory = exe.substr(0, exe.rfind(L'\\'));
    result.started =
        CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                       nullptr, directory.c_str(), &startup, &process) != FALSE;
    CloseHandle(writeEnd);
    if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
    if (!result.started) {
        CloseHandle(readEnd);
        return result;
    }

    // Read until the pipe closes; the reads block, so the time limit is kept
    // by the wait below and by ending the program when it runs over.
    std::string bytes;
    DWORD start = GetTickCount();
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr))
            break;  // closed: all read
        if (available > 0) {
            char chunk[4096];
            DWORD got = 0;
            if (!ReadFile(readEnd, chunk, available < sizeof chunk ? available : sizeof chunk, &got,
                          nullptr))
                break;
            bytes.append(chunk, got);
            continue;
        }
        if (GetTickCount() - start > timeoutMs) break;
        Sleep(10);
    }
    DWORD elapsed = GetTickCount() - start;
    DWORD left = elapsed < timeoutMs ? timeoutMs - elapsed : 0;
    result.finished = WaitForSingleObject(process.hProcess, left) == WAIT_OBJECT_0;
    if (!result.finished) TerminateProcess(process.hProcess, 0xDEAD);
    GetExitCodeProcess(process.hProcess, &result.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseHandle(readEnd);
    result.output = Decode(bytes);
    return result;
}

void StateLog::Note(DWORD state) {
    if (states.empty() || states.back() != state) states.push_back(state);
}

bool StateLog::Saw(DWORD state) const {
    for (DWORD seen : states) {
        if (seen == state) return true;
    }
    return false;
}

std::wstring StateLog::Describe() const {
    std::wstring text;
    for (DWORD state : states)
        text += (text.empty() ? L"" : L" -> ") + std::wstring(StateName(state));
    return text.empty() ? L"(nothing)" : text;
}

ScHandle::~ScHandle() {
    if (handle_ != nullptr) CloseServiceHandle(handle_);
}

bool QueryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS* status) {
    DWORD needed = 0;
    return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(status),
                                sizeof *status, &needed) != FALSE;
}

bool WaitForState(SC_HANDLE service, DWORD state, StateLog* log, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        SERVICE_STATUS_PROCESS status;
        if (QueryStatus(service, &status)) {
            if (log != nullptr) log->Note(status.dwCurrentState);
            if (status.dwCurrentState == state) return true;
        }
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(10);
    }
}

std::wstring ChildReport::Get(const std::wstring& key) const {
    auto found = values.find(key);
    return found == values.end() ? L"<missing>" : found->second;
}

DWORD ChildReport::Pid() const {
    return static_cast<DWORD>(wcstoul(Get(L"pid").c_str(), nullptr, 10));
}
DWORD ChildReport::ParentPid() const {
    return static_cast<DWORD>(wcstoul(Get(L"ppid").c_str(), nullptr, 10));
}

bool WaitForReport(const std::wstring& path, ChildReport* report, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    // The child moves its report into place; for a moment after the move it
    // may still hold the file open for that move, so a failed open is retried
    // like a missing file.
    HANDLE file = INVALID_HANDLE_VALUE;
    for (;;) {
        if (FileExists(path)) {
            file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
            if (file != INVALID_HANDLE_VALUE) break;
        }
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(20);
    }
    std::wstring text;
    wchar_t chunk[1024];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0)
        text.append(chunk, got / sizeof(wchar_t));
    CloseHandle(file);
    report->values.clear();
    size_t begin = 0;
    while (begin < text.size()) {
        size_t end = text.find(L'\n', begin);
        if (end == std::wstring::npos) end = text.size();
        std::wstring line = text.substr(begin, end - begin);
        size_t equals = line.find(L'=');
        if (equals != std::wstring::npos)
            report->values[line.substr(0, equals)] = line.substr(equals + 1);
        begin = end + 1;
    }
    return true;
}

WatchedProcess::~WatchedProcess() {
    if (handle_ == nullptr) return;
    if (Running()) TerminateProcess(handle_, 0xDEAD);
    CloseHandle(handle_);
}

bool WatchedProcess::Open(DWORD pid) {
    handle_ = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE, FALSE, pid);
    return handle_ != nullptr;
}

bool WatchedProcess::WaitForEnd(DWORD* exitCode, DWORD timeoutMs) {
    if (handle_ == nullptr || WaitForSingleObject(handle_, timeoutMs) != WAIT_OBJECT_0)
        return false;
    return GetExitCodeProcess(handle_, exitCode) != FALSE;
}

bool WatchedProcess::Running() const {
    return handle_ != nullptr && WaitForSingleObject(handle_, 0) == WAIT_TIMEOUT;
}

std::wstring WatchedProcess::Describe() const {
    if (handle_ == nullptr) return L"not opened";
    if (Running()) return L"running";
    DWORD code = 0;
    GetExitCodeProcess(handle_, &code);
    wchar_t text[48];
    std::swprintf(text, 48, L"ended with exit code 0x%lX", static_cast<unsigned long>(code));
    return text;
}

std::vector<DWORD> ProcessesRunning(const std::wstring& exe) {
    std::vector<DWORD> ids;
    const std::wstring base = exe.substr(exe.rfind(L'\\') + 1);
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return ids;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        if (lstrcmpiW(entry.szExeFile, base.c_str()) != 0) continue;
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE,
                                     entry.th32ProcessID);
        if (process == nullptr) continue;  // ended since the snapshot
        wchar_t image[MAX_PATH * 2] = {};
        DWORD length = MAX_PATH * 2;
        bool same = QueryFullProcessImageNameW(process, 0, image, &length) &&
                    lstrcmpiW(image, exe.c_str()) == 0;
        if (same && WaitForSingleObject(process, 0) == WAIT_TIMEOUT)
            ids.push_back(entry.th32ProcessID);
        CloseHandle(process);
    }
    CloseHandle(snapshot);
    return ids;
}

bool WaitUntilNoneRuns(const std::wstring& exe, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (!ProcessesRunning(exe).empty()) {
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(20);
    }
    return true;
}

Site::Site(const std::wstring& dir) : dir_(dir), exe_(dir + L"\\qelnhost.exe"), name_(L"QELN") {
    name_ += dir.back();
    RemoveService();
    DeleteTree(dir_);
    ready_ = CreateTree(dir_) && CopyFileW(HostExe().c_str(), exe_.c_str(), FALSE);
}

Site::~Site() {
    RemoveService();
    DeleteTree(dir_);
}

std::wstring Site::DisplayName() const {
    return std::wstring(L"Quellith Group ") + dir_.back();
}
std::wstring Site::ServiceKeyPath() const {
    return L"SYSTEM\\CurrentControlSet\\Services\\" + name_;
}
std::wstring Site::ParametersKeyPath() const {
    return ServiceKeyPath() + L"\\Parameters";
}

RunResult Site::Run(const std::wstring& arguments) const {
    return RunProgram(exe_, arguments);
}

bool Site::WriteParameters(const std::wstring& appDirectory, const std::wstring& application,
                           const std::wstring& appParameters) const {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, ParametersKeyPath().c_str(), 0, nullptr, 0,
                        KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    bool ok = true;
    const std::pair<const wchar_t*, const std::wstring*> values[] = {
        {L"AppDirectory", &appDirectory},
        {L"Application", &application},
        {L"AppParameters", &appParameters}};
    for (const auto& value : values) {
        DWORD bytes = static_cast<DWORD>((value.second->size() + 1) * sizeof(wchar_t));
        ok = ok && RegSetValueExW(key, value.first, 0, REG_SZ,
                                  reinterpret_cast<const BYTE*>(value.second->c_str()),
                                  bytes) == ERROR_SUCCESS;
    }
    RegCloseKey(key);
    return ok;
}

ScHandle Site::Open() const {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return ScHandle();
    return ScHandle(OpenServiceW(manager.get(), name_.c_str(), SERVICE_ALL_ACCESS));
}

// Stops and deletes the service if it exists, then removes whatever is left
// of its registry key. Bounded: a service that does not stop is deleted all
// the same (the SCM removes it once its process ends).
void Site::RemoveService() const {
    {
        ScHandle service = Open();
        if (service) {
            SERVICE_STATUS status;
            if (ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
                WaitForState(service.get(), SERVICE_STOPPED, nullptr);
            }
            DeleteService(service.get());
        }
    }
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return;
    for (DWORD waited = 0; waited < kWaitMs; waited += 50) {
        ScHandle still(OpenServiceW(manager.get(), name_.c_str(), SERVICE_QUERY_STATUS));
        if (!still) break;
        Sleep(50);
    }
    ScHandle still(OpenServiceW(manager.get(), name_.c_str(), SERVICE_QUERY_STATUS));
    if (!still) RegDeleteTreeW(HKEY_LOCAL_MACHINE, ServiceKeyPath().c_str());
}

HostedChild::HostedChild(const std::wstring& workDir) : workDir_(workDir) {
    DeleteTree(workDir_);
    CreateTree(workDir_);
}

HostedChild::~HostedChild() {
    // A child still waiting is told to go before its directory is removed.
    if (!FileExists(QuitPath())) {
        Quit(0x7E5D);
        Sleep(200);
    }
    DeleteTree(workDir_);
}

std::wstring HostedChild::WaitingCommandLine(const std::wstring& extra) const {
    return L"\"" + ChildExe() + L"\" /report:\"" + ReportPath() + L"\" /wait:\"" + QuitPath() +
           L"\"" + extra;
}

bool HostedChild::Quit(DWORD code) const {
    char text[16];
    std::snprintf(text, sizeof text, "%lu", static_cast<unsigned long>(code));
    return WriteTextFile(QuitPath(), text);
}

namespace {

bool StartsWithNoCase(const std::wstring& text, const std::wstring& start) {
    return text.size() >= start.size() &&
           CompareStringOrdinal(text.c_str(), static_cast<int>(start.size()), start.c_str(),
                                static_cast<int>(start.size()), TRUE) == CSTR_EQUAL;
}

// "i386", "x86-64" or "?": the machine of a PE image, read from its header.
const char* MachineOf(const std::wstring& exe) {
    HANDLE file =
        CreateFileW(exe.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "missing";
    unsigned char header[1024] = {};
    DWORD got = 0;
    ReadFile(file, header, sizeof header, &got, nullptr);
    CloseHandle(file);
    DWORD pe = 0;
    if (got >= 0x40) std::memcpy(&pe, header + 0x3C, sizeof pe);
    if (pe + 6 > got || std::memcmp(header + pe, "PE\0\0", 4) != 0) return "?";
    WORD machine = 0;
    std::memcpy(&machine, header + pe + 4, sizeof machine);
    return machine == IMAGE_FILE_MACHINE_I386    ? "i386"
           : machine == IMAGE_FILE_MACHINE_AMD64 ? "x86-64"
                                                 : "?";
}

// Stops and deletes every service whose program lies under the root: the
// copies an earlier run installed and could not remove. They are set to start
// automatically, so every boot of the prefix would start them again.
void RemoveLeftServices() {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return;
    DWORD needed = 0;
    DWORD count = 0;
    EnumServicesStatusExW(manager.get(), SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL,
                          nullptr, 0, &needed, &count, nullptr, nullptr);
    std::vector<BYTE> buffer(needed + 4096);
    if (!EnumServicesStatusExW(manager.get(), SC_ENUM_PROCESS_INFO, SERVICE_WIN32,
                               SERVICE_STATE_ALL, buffer.data(), static_cast<DWORD>(buffer.size()),
                               &needed, &count, nullptr, nullptr)) {
        return;
    }
    const auto* services = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSW*>(buffer.data());
    for (DWORD i = 0; i < count; ++i) {
        ScHandle service(
            OpenServiceW(manager.get(), services[i].lpServiceName, SERVICE_ALL_ACCESS));
        if (!service) continue;
        std::vector<BYTE> config(8192);
        auto* record = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.data());
        if (!QueryServiceConfigW(service.get(), record, static_cast<DWORD>(config.size()),
                                 &needed) ||
            record->lpBinaryPathName == nullptr) {
            continue;
        }
        std::wstring path = record->lpBinaryPathName;
        if (!path.empty() && path[0] == L'"') path.erase(0, 1);
        if (!StartsWithNoCase(path, std::wstring(kRoot) + L"\\")) continue;
        std::printf("[ e2e ] removing service %ls left by an earlier run\n",
                    services[i].lpServiceName);
        SERVICE_STATUS status;
        if (ControlService(service.get(), SERVICE_CONTROL_STOP, &status))
            WaitForState(service.get(), SERVICE_STOPPED, nullptr);
        DeleteService(service.get());
    }
}

// Ends the processes that run from under the root or run the test child.
void EndLeftProcesses() {
    const std::wstring root = std::wstring(kRoot) + L"\\";
    const std::wstring child = ChildExe();
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE,
                                     entry.th32ProcessID);
        if (process == nullptr) continue;
        wchar_t image[MAX_PATH * 2] = {};
        DWORD length = MAX_PATH * 2;
        if (QueryFullProcessImageNameW(process, 0, image, &length) &&
            (StartsWithNoCase(image, root) || lstrcmpiW(image, child.c_str()) == 0)) {
            std::printf("[ e2e ] ending process %lu (%ls) left by an earlier run\n",
                        static_cast<unsigned long>(entry.th32ProcessID), image);
            TerminateProcess(process, 0xDEAD);
            WaitForSingleObject(process, kWaitMs);
        }
        CloseHandle(process);
    }
    CloseHandle(snapshot);
}

class LeftoverCleanup : public ::testing::Environment {
public:
    void SetUp() override {
        std::printf("[ e2e ] host under test: %ls (%s)\n[ e2e ] hosted child: %ls (%s)\n",
                    HostExe().c_str(), MachineOf(HostExe()), ChildExe().c_str(),
                    MachineOf(ChildExe()));
        RemoveLeftServices();
        EndLeftProcesses();
        DeleteTree(kRoot);
    }
};

::testing::Environment* const kCleanup = ::testing::AddGlobalTestEnvironment(new LeftoverCleanup);

}  // namespace
}  // namespace e2e
