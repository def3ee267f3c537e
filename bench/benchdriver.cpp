// benchdriver.exe: measures how long qelnhost.exe takes to start and to stop
// its hosted application, against floorsvc.exe, the least a service host can
// do. Everything happens in this one process, so the Wine session (and its
// services.exe) lives for the whole run; every service made here is removed
// before it ends.
//
//   benchdriver.exe [--reps N] [--hold DIR]
//
// Four configurations, all hosting testchild.exe that waits to be ended:
//   host-primed  qelnhost.exe, the UPS registry area already primed
//   host-first   qelnhost.exe, the UPS area deleted before every start, so
//                every start does the first-start priming
//   floor        floorsvc.exe
//   floor-sp     floorsvc.exe reporting START_PENDING before its launch, as
//                the host must: the yardstick of the verdicts (the host
//                within 10 %); the bare floor is shown for information
// Each repetition times StartServiceW -> RUNNING and ControlService(STOP) ->
// STOPPED, polling QueryServiceStatus every millisecond, with
// QueryPerformanceCounter. The order of the configurations rotates from one
// repetition to the next so that a slow spell of the machine does not fall on
// one of them only. One untimed round comes first.
//
// With --hold DIR (a Windows path) it then starts each service once more and
// holds it with a live child: it writes DIR\held-host (then DIR\held-floor)
// holding the service's process id, and stops that service once
// DIR\release-host (DIR\release-floor) exists. bench/run.sh reads the CPU time
// and memory of the held process meanwhile.
//
// Results go to standard output as "ROW|figure|value|target|verdict" lines;
// progress and errors go to standard error.
#include <windows.h>

#include "benchkit.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const wchar_t kRoot[] = L"C:\\qelnbench";
const wchar_t kUpsKey[] = L"SYSTEM\\CurrentControlSet\\Services\\UPS";
const wchar_t kUpsConfigKey[] = L"SYSTEM\\CurrentControlSet\\Services\\UPS\\Config";

// One service under test: an executable in a directory of its own, hosting
// the test child with a report of its own.
struct Config {
    Config(const char* label_, bool firstStart_, const std::wstring& name_,
           const std::wstring& exe_)
        : label(label_), firstStart(firstStart_), name(name_), exe(exe_) {}

    const char* label;  // in the results
    bool firstStart;    // delete the UPS area before every start
    std::wstring name;  // service name
    std::wstring exe;   // installed copy
    std::wstring imagePath;
    std::wstring reportPath;
    SC_HANDLE service = nullptr;
    std::vector<double> startMs;
    std::vector<double> stopMs;
    int failures = 0;
};

// Starts the service and waits until it runs and its child has reported.
// Returns the start time in ms (negative on failure) and the process ids.
double StartAndSettle(Config& config, DWORD* servicePid, DWORD* childPid) {
    DeleteFileW(config.reportPath.c_str());
    if (config.firstStart) {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kUpsKey);
        if (KeyExists(kUpsKey)) {
            Say("%s: the UPS area could not be deleted", config.label);
            return -1;
        }
    }
    double begin = NowMs();
    if (!StartServiceW(config.service, 0, nullptr)) {
        Say("%s: StartServiceW failed, error %lu", config.label, GetLastError());
        return -1;
    }
    double running = PollFor(config.service, SERVICE_RUNNING);
    *servicePid = StatusOf(config.service).dwProcessId;
    if (running < 0) {
        Say("%s: the service did not reach RUNNING", config.label);
        return -1;
    }
    if (!WaitForFile(config.reportPath, kWaitMs)) {
        Say("%s: the child did not report", config.label);
        return -1;
    }
    *childPid = ChildProcessId(config.reportPath);
    if (config.firstStart && !KeyExists(kUpsConfigKey)) {
        Say("%s: the start did not prime the UPS area", config.label);
        return -1;
    }
    return running - begin;
}

// Stops the service; returns the stop time in ms (negative on failure). Waits
// until the service process and the child have gone.
double StopAndSettle(Config& config, DWORD servicePid, DWORD childPid) {
    SERVICE_STATUS status;
    double begin = NowMs();
    double stopped = -1;
    if (ControlService(config.service, SERVICE_CONTROL_STOP, &status)) {
        stopped = PollFor(config.service, SERVICE_STOPPED);
    } else {
        Say("%s: ControlService(STOP) failed, error %lu", config.label, GetLastError());
    }
    if (stopped < 0 && CurrentState(config.service) != SERVICE_STOPPED) {
        // Leave nothing running for the next repetition: the child's end
        // ends the run.
        if (HANDLE child = OpenProcess(PROCESS_TERMINATE, FALSE, childPid)) {
            TerminateProcess(child, 0);
            CloseHandle(child);
        }
        PollFor(config.service, SERVICE_STOPPED);
    }
    WaitForProcessEnd(servicePid);
    WaitForProcessEnd(childPid);
    return stopped < 0 ? -1 : stopped - begin;
}

bool RunOnce(Config& config, bool record) {
    DWORD servicePid = 0;
    DWORD childPid = 0;
    double start = StartAndSettle(config, &servicePid, &childPid);
    // The stop is timed from a settled service, not while the child is still
    // starting up.
    if (start >= 0) Sleep(100);
    double stop = StopAndSettle(config, servicePid, childPid);
    bool ok = start >= 0 && stop >= 0;
    if (record) {
        if (ok) {
            config.startMs.push_back(start);
            config.stopMs.push_back(stop);
        } else {
            ++config.failures;
        }
    }
    return ok;
}

// Holds the service running with a live child until DIR\release-<tag> exists.
bool Hold(Config& config, const std::wstring& dir, const char* tag) {
    std::wstring held = dir + L"\\held-" + std::wstring(tag, tag + strlen(tag));
    std::wstring release = dir + L"\\release-" + std::wstring(tag, tag + strlen(tag));
    DeleteFileW(release.c_str());
    DWORD servicePid = 0;
    DWORD childPid = 0;
    bool ok = StartAndSettle(config, &servicePid, &childPid) >= 0;
    if (ok) {
        ok = WriteTextFile(held, std::to_string(servicePid) + "\n");
        if (ok && !WaitForFile(release, 120000)) {
            Say("hold %s: no release within 120 s", tag);
            ok = false;
        }
    }
    StopAndSettle(config, servicePid, childPid);
    DeleteFileW(held.c_str());
    DeleteFileW(release.c_str());
    return ok;
}

void TimingRow(const char* what, const Config& config, const std::vector<double>& values) {
    Summary s = Summarise(values);
    std::string figure = std::string(what) + " " + config.label;
    std::string value = values.empty()
                            ? std::string("no successful run")
                            : Format("median %.1f ms (min %.1f, IQR %.1f-%.1f, max %.1f)", s.median,
                                     s.min, s.q1, s.q3, s.max);
    value += " n=" + std::to_string(values.size());
    if (config.failures > 0) value += " failed=" + std::to_string(config.failures);
    Row(figure, value, "", "");
}

// The ratio of the medians, the verdict's figure, and beside it the median of
// the ratios within each repetition (the three configurations of one
// repetition run back to back, so a slow spell of the machine affects both
// sides of such a ratio alike); `aligned` when no repetition failed. `limit`
// is the target, 0 for a figure shown for information.
void RatioRow(const char* what, const Config& host, const std::vector<double>& hostValues,
              const Config& floor, const std::vector<double>& floorValues, bool aligned,
              double limit) {
    std::string figure = std::string("ratio ") + what + " " + host.label + "/" + floor.label;
    const std::string target = limit > 0 ? Format("<= %.2f", limit) : "(none)";
    if (hostValues.empty() || floorValues.empty()) {
        Row(figure, "n/a", target, limit > 0 ? "MISSED" : "");
        return;
    }
    double ratio = Summarise(hostValues).median / Summarise(floorValues).median;
    std::string value = Format("%.3f", ratio);
    if (aligned && hostValues.size() == floorValues.size()) {
        std::vector<double> paired;
        for (size_t i = 0; i < hostValues.size(); ++i)
            paired.push_back(hostValues[i] / floorValues[i]);
        Summary s = Summarise(paired);
        value += Format(" (per repetition: median %.3f, IQR %.3f-%.3f)", s.median, s.q1, s.q3);
    }
    Row(figure, value, target, limit > 0 ? (ratio <= limit ? "met" : "MISSED") : "");
}

}  // namespace

int main(int argc, char** argv) {
    int reps = 20;
    std::wstring holdDir;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--reps" && i + 1 < argc) {
            reps = std::atoi(argv[++i]);
        } else if (arg == "--hold" && i + 1 < argc) {
            std::string dir = argv[++i];
            holdDir.assign(dir.begin(), dir.end());
        } else {
            Say("usage: benchdriver.exe [--reps N] [--hold DIR]");
            return 2;
        }
    }
    if (reps < 1) reps = 1;

    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        Say("OpenSCManagerW failed, error %lu", GetLastError());
        return 1;
    }

    const std::wstring root = kRoot;
    const std::wstring workDir = root + L"\\work";
    const std::wstring childExe = root + L"\\app\\testchild.exe";
    Config hostPrimed{"host-primed", false, L"QELNB", root + L"\\hostB\\qelnhost.exe"};
    Config hostFirst{"host-first", true, L"QELNB", root + L"\\hostB\\qelnhost.exe"};
    Config floor{"floor", false, L"QelnBenchFloor", root + L"\\floor\\floorsvc.exe"};
    Config floorPending{"floor-sp", false, L"QelnBenchFloorP", floor.exe};
    // As -install registers it: quoted, no arguments.
    hostPrimed.imagePath = L"\"" + hostPrimed.exe + L"\"";
    hostFirst.imagePath = hostPrimed.imagePath;
    floor.imagePath = L"\"" + floor.exe + L"\" " + floor.name;
    floorPending.imagePath = L"\"" + floor.exe + L"\" " + floorPending.name + L" start-pending";
    Config* configs[] = {&hostPrimed, &hostFirst, &floor, &floorPending};
    for (Config* config : configs) {
        config->reportPath = workDir + L"\\" + config->name + L".report";
    }

    // Leftovers of an interrupted run, then a fresh tree.
    RemoveService(manager, hostPrimed.name);
    RemoveService(manager, floor.name);
    RemoveService(manager, floorPending.name);
    DeleteTree(root);
    bool ready = CreateTree(root + L"\\hostB") && CreateTree(root + L"\\floor") &&
                 CreateTree(root + L"\\app") && CreateTree(workDir) &&
                 CopyFileW(FromBuildPath(QELN_HOST_EXE).c_str(), hostPrimed.exe.c_str(), FALSE) &&
                 CopyFileW(FromBuildPath(QELN_FLOOR_EXE).c_str(), floor.exe.c_str(), FALSE) &&
                 CopyFileW(FromBuildPath(QELN_CHILD_EXE).c_str(), childExe.c_str(), FALSE);
    if (!ready) {
        Say("could not lay out %s, error %lu", Narrow(root).c_str(), GetLastError());
        DeleteTree(root);
        CloseServiceHandle(manager);
        return 1;
    }

    // Both services on demand start, so that a crashed run leaves nothing that
    // starts by itself when the Wine session boots again.
    int status = 0;
    for (Config* config : {&hostPrimed, &floor, &floorPending}) {
        config->service =
            CreateServiceW(manager, config->name.c_str(), config->name.c_str(), SERVICE_ALL_ACCESS,
                           SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                           config->imagePath.c_str(), nullptr, nullptr, L"\0", nullptr, nullptr);
        if (config->service == nullptr ||
            !WriteParameters(config->name, childExe, workDir,
                             L"\"" + childExe + L"\" /report:" + config->reportPath)) {
            Say("could not install %s, error %lu", Narrow(config->name).c_str(), GetLastError());
            status = 1;
        }
    }
    hostFirst.service = hostPrimed.service;

    if (status == 0) {
        Say("untimed round");
        for (Config* config : configs) {
            if (!RunOnce(*config, false)) status = 1;
        }
    }
    if (status == 0) {
        for (int rep = 0; rep < reps; ++rep) {
            for (int k = 0; k < 4; ++k)
                RunOnce(*configs[(rep + k) % 4], true);
            Say("repetition %d of %d done", rep + 1, reps);
        }
        // The UPS area stays primed, as after any real first start.
        if (!KeyExists(kUpsConfigKey)) RunOnce(hostFirst, false);

        bool aligned = hostPrimed.failures == 0 && hostFirst.failures == 0 && floor.failures == 0 &&
                       floorPending.failures == 0;
        for (Config* config : configs)
            TimingRow("start->RUNNING", *config, config->startMs);
        for (Config* config : configs)
            TimingRow("stop->STOPPED ", *config, config->stopMs);
        // Judged against the floor that makes the same START_PENDING report;
        // the bare floor for information.
        RatioRow("start", hostPrimed, hostPrimed.startMs, floorPending, floorPending.startMs,
                 aligned, 1.10);
        RatioRow("stop ", hostPrimed, hostPrimed.stopMs, floorPending, floorPending.stopMs, aligned,
                 1.10);
        RatioRow("start", hostFirst, hostFirst.startMs, floorPending, floorPending.startMs, aligned,
                 0);
        RatioRow("start", hostPrimed, hostPrimed.startMs, floor, floor.startMs, aligned, 0);
        RatioRow("stop ", hostPrimed, hostPrimed.stopMs, floor, floor.stopMs, aligned, 0);
        RatioRow("start", floorPending, floorPending.startMs, floor, floor.startMs, aligned, 0);
        std::fflush(stdout);
        for (Config* config : configs) {
            if (config->startMs.empty()) status = 1;
        }

        if (!holdDir.empty()) {
            if (!Hold(hostPrimed, holdDir, "host")) status = 1;
            if (!Hold(floor, holdDir, "floor")) status = 1;
        }
    }

    for (Config* config : {&hostPrimed, &floor, &floorPending}) {
        if (config->service != nullptr) CloseServiceHandle(config->service);
        RemoveService(manager, config->name);
    }
    CloseServiceHandle(manager);
    DeleteTree(root);
    return status;
}
