#!/usr/bin/env python3
"""Fault campaign: puts one fault at a time into the product code and counts
how many the test layers catch. Run by hand, not by the test command:

    python3 scripts/faults.py [--only N,N] [--e2e-all | --host-only]

It works on a copy of the checkout in build/faults/src (the checkout is never
changed), builds it as the host preset (unit tests under ASan/UBSan) and, for
a fault the host tests miss (every fault with --e2e-all), as the win64 preset,
whose end-to-end tables and checks (soak left out) and contract tests run under
Wine. Prints one line per fault and the totals; exits non-zero when a fault
escapes every layer.
"""
import os
import shutil
import subprocess
import sys

# (file, text as it stands, text with the fault, what the fault is)
FAULTS = [
    ("service/entry.cpp", "argv[1][0] == '/'", "argv[1][0] == '-'", "a '/' switch not taken as a switch"),
    ("service/entry.cpp", 'if (_stricmp(word, "remove") == 0) return RemoveService();', "return RemoveService();", "any switch removes"),
    ("service/naming.cpp", "if (length < capacity) {", "if (length <= capacity) {", "a module path cut at the buffer taken as whole"),
    ("service/install.cpp", 'WideConcat(u"\\"", path.get(), u"\\"")', 'WideConcat(u"", path.get(), u"")', "install registers its path unquoted"),
    ("service/install.cpp", "SERVICE_AUTO_START, SERVICE_ERROR_NORMAL", "SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL", "a wrong start type"),
    ("service/install.cpp", "        return 0xFFFFFFFF;\n", "        return 0;\n", "a failed creation reported as success"),
    ("service/install.cpp", "installed.\\n\");\n    service.reset();", "installed.\\n\");\n    (void)service.release();", "install never closes the service handle"),
    ("service/install.cpp", "OpenServiceW(manager.get(), name.get(), SERVICE_ALL_ACCESS)", "OpenServiceW(manager.get(), name.get(), 0x24)", "remove opens the service without the right to delete it"),
    ("service/install.cpp", "if (ServiceStatus.dwCurrentState == SERVICE_STOPPED) {", "if (ServiceStatus.dwCurrentState != SERVICE_RUNNING) {", "'stopped.' whenever the last state is not RUNNING"),
    ("service/install.cpp", 'if (!DeleteService(service.get())) return Fail(u"Remove", u"deleting the service ", name.get());', "DeleteService(service.get());", "'removed.' printed when the deletion fails"),
    ("service/install.cpp", '            Print(u".");\n', "", "no dots while the stop is pending"),
    ("service/service_run.cpp", "if (StopRequested.load() == 0) ReportServiceState(SERVICE_RUNNING);", "ReportServiceState(SERVICE_RUNNING);", "RUNNING after a stop"),
    ("service/service_run.cpp", "if (stopping && LastReported() != SERVICE_STOP_PENDING) {", "if (stopping) {", "STOP_PENDING reported twice"),
    ("service/service_run.cpp", "        if (StopRequested.load() != 0) {\n            // Stopped before", "        if (false) {\n            // Stopped before", "a stop before the launch ignored"),
    ("service/service_run.cpp", "if (StopRequested.load() != 0) TerminateProcess(launched.hProcess, 0);", "", "a stop during the launch leaves the child running"),
    ("service/service_run.cpp", "        key.reset();\n    } else {", "        (void)key.release();\n    } else {", "the Parameters key never closed"),
    ("service/service_run.cpp", "|| size > bytes) {", "|| size >= bytes) {", "a value that exactly fills its buffer refused"),
    ("service/service_run.cpp", "WCHAR parameters[kParametersValueBytes / sizeof(WCHAR) + 1] = {};", "WCHAR parameters[kParametersValueBytes / sizeof(WCHAR)] = {};", "no spare character for the command line's terminator"),
    ("service/service_run.cpp", "DETACHED_PROCESS | CREATE_SUSPENDED", "CREATE_SUSPENDED", "the child not detached"),
    ("service/service_run.cpp", "ServiceStatus.dwWaitHint = 15000;", "ServiceStatus.dwWaitHint = 1500;", "a wrong wait hint in the status record"),
    ("service/service_run.cpp", "ServiceStatus.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;", "ServiceStatus.dwControlsAccepted = SERVICE_ACCEPT_STOP;", "shutdown not accepted"),
    ("service/service_run.cpp", "if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_SHUTDOWN) return;", "if (control != SERVICE_CONTROL_STOP) return;", "the shutdown control ignored"),
    ("service/service_run.cpp", "        Beep(2000, 6000);\n", "", "no 2000 Hz tone for a missing Parameters key"),
    ("service/service_run.cpp", "        ServiceStatus.dwWin32ExitCode = failure;\n", "", "a failed launch reported with exit code 0"),
    ("service/service_run.cpp", "    PrimeUpsRegistry();\n", "", "a start that no longer primes the UPS area"),
    ("service/service_run.cpp", "                ReportRunning();\n", "", "RUNNING never reported"),
    ("service/service_run.cpp", "if (StopRequested.load() == 0) Beep(1000, 6000);", "", "no 1000 Hz tone for a failed launch"),
    ("upsprime/prime.cpp", "static_cast<DWORD>((platform::WideLength(row->data) + 1) * sizeof(WCHAR));", "static_cast<DWORD>(platform::WideLength(row->data) * sizeof(WCHAR));", "the provider rows written without their terminator"),
    ("upsprime/prime.cpp", "    if (!EnsureKey(kConfigKey)) return;\n    LoadFields(ConfigFieldTable, 0);", "    EnsureKey(kConfigKey);\n    LoadFields(ConfigFieldTable, 0);", "a failed creation of Config taken as success"),
    ("upsprime/prime.cpp", "    if (!EnsureKey(kStatusKey)) return;", "    EnsureKey(kStatusKey);", "a failed creation of Status taken as success"),
    ("upsprime/prime.cpp", "(options & 0x1) != 0) upgrade = 1;", "(options & 0x80) != 0) upgrade = 1;", "the wrong bit makes an upgrade"),
    ("upsprime/prime.cpp", "(options & 0x80) != 0 ? 1 : 0);", "(options & 0x8) != 0 ? 1 : 0);", "the wrong bit enables the run task"),
    ("upsprime/prime.cpp", 'SetPort(u"COM1");', 'SetPort(u"COM2");', "a wrong default port"),
    ("upsprime/prime.cpp", "type != platform::REG_DWORD || size == 0) {", "size == 0) {", "a BatteryLife of another type taken over"),
    ("upsprime/prime.cpp", "    platform::RegDeleteValueW(ups.get(), kBatteryLife);\n", "", "the old BatteryLife not deleted"),
    ("upsprime/prime.cpp", "    if (IsUpsConfigPresent() == 1) return;\n", "", "every start primes again"),
    ("upsprime/prime.cpp", "    SetHideUpsPane(0);\n", "", "HideUPSPane not set"),
    ("upsprime/prime.cpp", "TakeOverBatteryLife();", "", "BatteryLife never taken over"),
    # Equivalent: LoadRecord's second query checks the type again, so nothing can catch it.
    ("upsprime/fields.cpp", "        size == 0 || type != record->value_type) {", "        size == 0) {", "a value of another type loaded"),
    ("upsprime/fields.cpp", "const DWORD held = record->data_size < 4 ? record->data_size : 4;", "const DWORD held = 4;", "a DWORD shorter than 4 bytes read as 4"),
    ("upsprime/fields.cpp", "const std::size_t characters = platform::WideLength(text) + 1;", "const std::size_t characters = platform::WideLength(text);", "strings set without their terminator"),
    ("upsprime/fields.cpp", "        ReleaseData(*at);\n        (*at)->changed = 0;", "        (*at)->changed = 0;", "a table never freed"),
    ("service/service_run.cpp", "    if (child != nullptr) TerminateProcess(child, 0);\n", "", "a stop while the child runs leaves it running"),
    ("service/naming.cpp", 'kDisplayPrefix[] = u"Quellith Group ";', 'kDisplayPrefix[] = u"Quellith ";', "a wrong display name"),
    ("upsprime/prime.cpp", "    SetBatteryStatus(0);\n", "", "BatteryStatus not primed"),
    ("upsprime/prime.cpp", "SetTurnUpsOffWait(180);", "SetTurnUpsOffWait(120);", "a wrong default wait before the UPS is turned off"),
    ("service/install.cpp", "    return error;\n}", "    return 0;\n}", "a console command's failed step reported as success"),
    ("service/install.cpp", "if (!service && GetLastError() == static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST)) return 0;", "", "a remove of no service reported as a failure"),
    ("platform/text.cpp", "while (at > start && IsNonspacingMark(*at))", "while (false && IsNonspacingMark(*at))", "a combining mark taken as the instance character"),
    ("service/service_run.cpp", "(type != REG_SZ && type != REG_EXPAND_SZ)", "type != REG_SZ", "a REG_EXPAND_SZ Parameters value refused"),
    ("service/service_run.cpp", "(type != REG_SZ && type != REG_EXPAND_SZ) || ", "", "a Parameters value of another type used as a string"),
    ("platform/win32/process.cpp", "if (page == 0) page = CP_OEMCP;", "if (page == 0) page = CP_ACP;", "console text in the ANSI code page where there is no console"),
    ("service/service_run.cpp", "    if (ChildJob != nullptr) AssignProcessToJobObject(ChildJob, child.hProcess);\n", "", "the child not put into the job"),
    ("service/service_run.cpp", "JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK", "JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK", "a job that does not end the child with the host"),
    ("service/service_run.cpp", "JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK", "JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE", "what the child starts ends with the host too"),
    ("service/service_run.cpp", "if (ResumeThread(child.hThread) != static_cast<DWORD>(-1)) return true;", "return true;", "the child never let run"),
    ("service/service_run.cpp", "ReportStopped(code != 0 ? ERROR_SERVICE_SPECIFIC_ERROR : 0, code);", "ReportStopped(0, 0);", "a failed child recorded as a clean end"),
    ("service/service_run.cpp", "ReportStopped(code != 0 ? ERROR_SERVICE_SPECIFIC_ERROR : 0, code);", "ReportStopped(code, 0);", "a child's exit code recorded as a Win32 error"),
    ("service/service_run.cpp", "    if (!stopping) {\n", "    if (true) {\n", "a stop recorded with the child's exit code"),
    ("service/service_run.cpp", "if (StopRequested.load() == 0) Beep(1000, 6000);\n                ReportStopped(error, 0);", "ReportStopped(error, 0);\n                if (StopRequested.load() == 0) Beep(1000, 6000);", "the 1000 Hz tone after STOPPED"),
    ("service/install.cpp", "} else if (waited > ServiceStatus.dwWaitHint) {", "} else if (false) {", "-remove waits for a stop that makes no progress"),
    ("service/install.cpp", "if (ServiceStatus.dwCheckPoint != check_point) {", "if (false) {", "-remove gives up on a stop that makes progress"),
    ("platform/win32/process.cpp", "::WideCharToMultiByte(page, WC_NO_BEST_FIT_CHARS, piece", "::WideCharToMultiByte(page, 0, piece", "console text in a file with look-alike letters"),
    ("platform/win32/process.cpp", "::UINT page = ::GetConsoleOutputCP();", "::UINT page = 0;", "console text in a file ignores the console's code page"),
    ("platform/text.cpp", " || (c >= 0x20D0 && c <= 0x20FF)", "", "a mark for symbols taken as the instance character"),
    ("service/install.cpp", "    WarnWhoCouldReplace(path.get());\n", "", "-install says nothing of who else could replace the copy"),
    ("service/exposure.cpp", "(entry[1] & kInheritOnly) == 0 && ", "", "an entry for what a directory holds taken as its own"),
    ("service/exposure.cpp", "WarnAbout(shown ? shown.get() : text, text, true, path + name);", "WarnAbout(shown ? shown.get() : text, text, false, path + name);", "directories judged as files"),
    ("service/exposure.cpp", "        if (at_root) break;\n", "        break;\n", "only the copy's own directory looked at"),
    ("service/exposure.cpp", "if (dacl == nullptr) return group == 0 ? kGenericAll : 0;", "if (dacl == nullptr) return 0;", "a volume without permissions taken as safe"),
    ("service/exposure.cpp", "    if (error != ERROR_SUCCESS) {\n", "    if (error != ERROR_SUCCESS) {\n        return;\n", "permissions that cannot be read taken as safe"),
    ("service/exposure.cpp", "Read32(sid + 4 + std::size_t{4} * g.count) == g.last", "true", "any domain group taken for Domain Users"),
]


def run(command, cwd, log, env=None):
    with open(log, "w") as out:
        return subprocess.call(command, cwd=cwd, stdout=out, stderr=subprocess.STDOUT, env=env, shell=True) == 0


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    work = os.path.join(root, "build", "faults")
    src = os.path.join(work, "src")
    only = None
    if "--only" in sys.argv:
        only = {int(n) for n in sys.argv[sys.argv.index("--only") + 1].split(",")}
    e2e_all = "--e2e-all" in sys.argv
    host_only = "--host-only" in sys.argv
    shutil.rmtree(src, ignore_errors=True)
    files = subprocess.check_output(["git", "ls-files", "-co", "--exclude-standard"], cwd=root, text=True).split("\n")
    for f in filter(None, files):
        if os.path.exists(os.path.join(root, f)):
            os.makedirs(os.path.dirname(os.path.join(src, f)), exist_ok=True)
            shutil.copy(os.path.join(root, f), os.path.join(src, f))
    env = dict(os.environ, WINEDEBUG="-all", LC_ALL="C.UTF-8", LANG="C.UTF-8")
    host = os.path.join(work, "host")
    win = os.path.join(work, "win64")
    prefix = os.path.join(win, "wineprefix")
    host_cmd = f"cmake --build {host} -j2 && ctest --test-dir {host} -j2 --timeout 120"
    win_cmd = (f"cmake --build {win} -j2 && WINEPREFIX={prefix} ctest --test-dir {win} -L 'e2e|contract' "
               f"-E SoakE2E --timeout 300; s=$?; WINEPREFIX={prefix} /usr/lib/wine/wineserver -k; exit $s")
    # Both builds must pass as they stand, or the campaign means nothing.
    if not run(f"cmake --preset host -B {host} && {host_cmd}", src, os.path.join(work, "clean-host.log"), env):
        sys.exit("faults: the host tests fail without a fault (build/faults/clean-host.log)")
    if not host_only and not run(f"cmake --preset win64 -B {win} && bash scripts/bootstrap.sh --prefix {prefix} && {win_cmd}",
               src, os.path.join(work, "clean-win64.log"), env):
        sys.exit("faults: the Wine tests fail without a fault (build/faults/clean-win64.log)")
    caught = escaped = 0
    for number, (path, old, new, what) in enumerate(FAULTS, 1):
        if only and number not in only:
            continue
        target = os.path.join(src, path)
        text = open(target).read()
        if text.count(old) != 1:
            print(f"{number:2} SKIP  {what}: the text to change is not found once in {path}")
            continue
        open(target, "w").write(text.replace(old, new))
        layers = []
        if not run(host_cmd, src, os.path.join(work, f"{number}-host.log"), env):
            layers.append("host")
        if not host_only and (e2e_all or not layers):
            if not run(win_cmd, src, os.path.join(work, f"{number}-win64.log"), env):
                layers.append("wine")
        open(target, "w").write(text)
        if layers:
            caught += 1
        else:
            escaped += 1
        print(f"{number:2} {'CAUGHT' if layers else 'ESCAPED'} {'+'.join(layers) or '-':9} {what}", flush=True)
    print(f"{caught} caught, {escaped} escaped of {caught + escaped} faults")
    sys.exit(1 if escaped else 0)


if __name__ == "__main__":
    main()
