// -install and -remove end to end: the real host run from a process of its
// own, its console output captured, the registration read back from the SCM.
#include <gtest/gtest.h>

#include <vector>

#include "harness.h"

namespace e2e {
namespace {

// Service-name suffixes owned by this file: 3, 4, 5, 7.
const std::wstring kScenario = L"install";
const std::wstring kBlankScenario = L"with blank";

bool ServiceExists(const std::wstring& name) {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ScHandle service(OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS));
    return static_cast<bool>(service);
}

class InstallRemoveE2E : public ::testing::Test {
protected:
    void TearDown() override {
        DeleteFileW((ScenarioDir(L"with") + L".exe").c_str());
        RemoveScenario(kScenario);
        RemoveScenario(kBlankScenario);
    }

    // Installs `site` and checks the installed message.
    void Install(const Site& site) {
        ASSERT_TRUE(site.Ready()) << "could not copy the host into " << site.Dir();
        RunResult install = site.Run(L"-install");
        ASSERT_TRUE(install.finished);
        EXPECT_EQ(0u, install.exitCode);
        ASSERT_EQ(site.Name() + L" installed.\n", install.output);
    }

    // Configures `site` to host `child`, starts it and waits for the child.
    void StartHosting(const Site& site, const HostedChild& child, ChildReport* report) {
        ASSERT_TRUE(site.WriteParameters(child.WorkDir(), ChildExe(), child.WaitingCommandLine()));
        ScHandle service = site.Open();
        ASSERT_TRUE(service);
        ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr))
            << "StartServiceW error " << GetLastError();
        StateLog log;
        ASSERT_TRUE(WaitForState(service.get(), SERVICE_RUNNING, &log)) << log.Describe();
        ASSERT_TRUE(WaitForReport(child.ReportPath(), report)) << "the child did not report";
    }

    // The registration as the SCM holds it.
    void ExpectRegistration(const Site& site) {
        ScHandle service = site.Open();
        ASSERT_TRUE(service) << site.Name() << " is not registered";
        DWORD needed = 0;
        QueryServiceConfigW(service.get(), nullptr, 0, &needed);
        ASSERT_GT(needed, 0u);
        std::vector<BYTE> buffer(needed);
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
        ASSERT_TRUE(QueryServiceConfigW(service.get(), config, needed, &needed))
            << "error " << GetLastError();
        EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), config->dwServiceType);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), config->dwStartType);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_ERROR_NORMAL), config->dwErrorControl);
        EXPECT_EQ(L"\"" + site.Exe() + L"\"", std::wstring(config->lpBinaryPathName));
        EXPECT_EQ(site.DisplayName(), std::wstring(config->lpDisplayName));
        EXPECT_EQ(L"LocalSystem",
                  std::wstring(config->lpServiceStartName ? config->lpServiceStartName : L""));
        EXPECT_EQ(L"", std::wstring(config->lpLoadOrderGroup ? config->lpLoadOrderGroup : L""));
        EXPECT_EQ(L"", std::wstring(config->lpDependencies ? config->lpDependencies : L""));
        EXPECT_EQ(0u, config->dwTagId);
    }
};

// Install registers the service with its properties and writes no Parameters
// key; a second install fails with exit code 0xFFFFFFFF and prints nothing.
TEST_F(InstallRemoveE2E, InstallTwiceAndReadTheRegistrationBack) {
    Site site(ScenarioDir(kScenario) + L"\\site3");
    ASSERT_FALSE(ServiceExists(site.Name()));
    ASSERT_NO_FATAL_FAILURE(Install(site));
    EXPECT_EQ(L"QELN3", site.Name());
    ExpectRegistration(site);
    HKEY parameters = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, site.ParametersKeyPath().c_str(), 0, KEY_READ,
                            &parameters))
        << "install wrote a Parameters key";
    if (parameters != nullptr) RegCloseKey(parameters);

    RunResult again = site.Run(L"-install");
    ASSERT_TRUE(again.finished);
    EXPECT_EQ(0xFFFFFFFFu, again.exitCode);
    EXPECT_EQ(L"", again.output);
    ExpectRegistration(site);
}

// Remove of a running service: the stopping message, a dot per second while
// it stays stop-pending, the stopped message, the removed message; the child
// is ended with exit code 0 and the service is gone.
TEST_F(InstallRemoveE2E, RemoveStopsARunningServiceAndDeletesIt) {
    Site site(ScenarioDir(kScenario) + L"\\site4");
    HostedChild child(ScenarioDir(kScenario) + L"\\work4");
    ASSERT_NO_FATAL_FAILURE(Install(site));
    ChildReport report;
    ASSERT_NO_FATAL_FAILURE(StartHosting(site, child, &report));
    WatchedProcess childProcess;
    ASSERT_TRUE(childProcess.Open(report.Pid()));

    RunResult remove = site.Run(L"-remove");
    ASSERT_TRUE(remove.finished);
    EXPECT_EQ(0u, remove.exitCode);
    const std::wstring head = L"Stopping QELN4.";
    const std::wstring tail = L"\nQELN4 stopped.\nQELN4 removed.\n";
    const std::wstring& output = remove.output;
    ASSERT_GE(output.size(), head.size() + tail.size()) << output;
    EXPECT_EQ(head, output.substr(0, head.size())) << output;
    EXPECT_EQ(tail, output.substr(output.size() - tail.size())) << output;
    std::wstring dots = output.substr(head.size(), output.size() - head.size() - tail.size());
    EXPECT_EQ(std::wstring::npos, dots.find_first_not_of(L'.')) << "between the messages: " << dots;

    DWORD childExit = 0xDEADBEEF;
    ASSERT_TRUE(childProcess.WaitForEnd(&childExit)) << "the child outlived the removal";
    EXPECT_EQ(0u, childExit);
    EXPECT_FALSE(ServiceExists(site.Name()));
}

// Remove of an installed service that is not running prints only the removed
// message; once it is gone, remove prints nothing and exits with 0.
TEST_F(InstallRemoveE2E, RemoveOfAStoppedServiceThenOfNone) {
    Site site(ScenarioDir(kScenario) + L"\\site5");
    ASSERT_NO_FATAL_FAILURE(Install(site));

    RunResult remove = site.Run(L"-remove");
    ASSERT_TRUE(remove.finished);
    EXPECT_EQ(0u, remove.exitCode);
    EXPECT_EQ(L"QELN5 removed.\n", remove.output);
    EXPECT_FALSE(ServiceExists(site.Name()));

    RunResult none = site.Run(L"-remove");
    ASSERT_TRUE(none.finished);
    EXPECT_EQ(0u, none.exitCode);
    EXPECT_EQ(L"", none.output);
}

// A copy in a directory with a blank in its name is registered under its
// quoted path and starts through it. A program planted where an unquoted path
// would lead the SCM ("C:\qelntest\with.exe") must never be the one started.
TEST_F(InstallRemoveE2E, InstallFromADirectoryWithABlankStartsThroughTheQuotedPath) {
    const std::wstring decoy = ScenarioDir(L"with") + L".exe";
    Site site(ScenarioDir(kBlankScenario) + L"\\site7");
    HostedChild child(ScenarioDir(kBlankScenario) + L"\\work 7");
    ASSERT_TRUE(CopyFileW(ChildExe().c_str(), decoy.c_str(), FALSE));
    ASSERT_NO_FATAL_FAILURE(Install(site));
    EXPECT_EQ(L"QELN7", site.Name());
    ExpectRegistration(site);

    ChildReport report;
    ASSERT_NO_FATAL_FAILURE(StartHosting(site, child, &report));
    ScHandle service = site.Open();
    SERVICE_STATUS_PROCESS status;
    ASSERT_TRUE(QueryStatus(service.get(), &status));
    EXPECT_EQ(status.dwProcessId, report.ParentPid());
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, status.dwProcessId);
    ASSERT_NE(nullptr, process);
    wchar_t image[MAX_PATH * 2] = {};
    DWORD length = MAX_PATH * 2;
    BOOL named = QueryFullProcessImageNameW(process, 0, image, &length);
    CloseHandle(process);
    ASSERT_TRUE(named);
    EXPECT_EQ(0, lstrcmpiW(site.Exe().c_str(), image)) << "the service runs " << image;
}

}  // namespace
}  // namespace e2e
