// The first-start priming of the UPS registry area through the real service:
// the host, installed with -install and started by the real SCM, writes the
// area before it launches anything; a later start writes nothing.
//
// The expected area is the listing the host tests check on the simulation.
// Its helpers use the portable registry calls, so they come before
// <windows.h> (brought in by the harness), whose macros would clash.
#include "tests/contract/ups_area.h"
#include "tests/contract/ups_expected.h"

#include <gtest/gtest.h>

#include "harness.h"

namespace e2e {
namespace {

// Service-name suffixes owned by this file: P, G.
const std::wstring kScenario = L"upsprime";

class UpsPrimeE2E : public ::testing::Test {
protected:
    void SetUp() override {
        ups_area::Clear();
        ASSERT_FALSE(ups_area::KeyExists(u"")) << "the UPS area could not be removed";
    }
    void TearDown() override {
        ups_area::Clear();
        DeleteTree(ScenarioDir(kScenario));
    }

    // Installs the site once and runs one service start to its end. The
    // configured application does not exist, so the run ends right after
    // the priming with START_PENDING, then STOPPED.
    void StartOnce(const Site& site) {
        ASSERT_TRUE(site.Ready()) << "could not copy the host into " << site.Dir();
        if (!site.Open()) {
            RunResult install = site.Run(L"-install");
            ASSERT_TRUE(install.finished);
            ASSERT_EQ(0u, install.exitCode) << install.output;
        }
        ASSERT_TRUE(site.WriteParameters(site.Dir(), site.Dir() + L"\\missing.exe", L"missing"));
        ScHandle service = site.Open();
        ASSERT_TRUE(service);
        StateLog log;
        ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr))
            << "StartServiceW error " << GetLastError();
        ASSERT_TRUE(WaitForState(service.get(), SERVICE_STOPPED, &log)) << log.Describe();
        EXPECT_FALSE(log.Saw(SERVICE_RUNNING)) << log.Describe();
    }

    // Runs reg.exe of the system with `arguments`; true when it succeeded.
    static bool Reg(const std::wstring& arguments) {
        wchar_t system[MAX_PATH];
        const UINT length = GetSystemDirectoryW(system, MAX_PATH);
        if (length == 0 || length >= MAX_PATH) return false;
        RunResult result = RunProgram(std::wstring(system) + L"\\reg.exe", arguments);
        return result.finished && result.exitCode == 0;
    }
};

// No UPS key at all: the first start writes the provider rows, the fresh
// configuration and the status values. A second start writes nothing, not
// even over values changed or removed in between.
TEST_F(UpsPrimeE2E, FirstStartPrimesTheAreaAndTheNextStartLeavesIt) {
    Site site(ScenarioDir(kScenario) + L"\\siteP");
    ASSERT_NO_FATAL_FAILURE(StartOnce(site));
    EXPECT_EQ(ups_area::Diff(ups_expected::FreshPriming()), "");

    const std::wstring config = L"\"HKLM\\SYSTEM\\CurrentControlSet\\Services\\UPS\\Config\"";
    const std::wstring status = L"\"HKLM\\SYSTEM\\CurrentControlSet\\Services\\UPS\\Status\"";
    ASSERT_TRUE(Reg(L"add " + config + L" /v Vendor /t REG_SZ /d Mine /f"));
    ASSERT_TRUE(Reg(L"delete " + status + L" /v BatteryStatus /f"));
    std::vector<ups_area::Value> changed;
    for (const ups_area::Value& v : ups_expected::FreshPriming()) {
        if (v.name == u"BatteryStatus") continue;
        changed.push_back(v.name == u"Vendor" ? ups_area::SzValue(u"Config", u"Vendor", u"Mine")
                                              : v);
    }
    ASSERT_EQ(ups_area::Diff(changed), "");

    ASSERT_NO_FATAL_FAILURE(StartOnce(site));
    EXPECT_EQ(ups_area::Diff(changed), "");
}

// An older configuration under the UPS key, prepared with reg.exe: the first
// start takes the upgrade road.
TEST_F(UpsPrimeE2E, FirstStartUpgradesAnOlderConfiguration) {
    const std::wstring ups = L"\"HKLM\\SYSTEM\\CurrentControlSet\\Services\\UPS\"";
    const wchar_t* const values[] = {
        L"/v Port /t REG_SZ /d COM2",
        L"/v Options /t REG_DWORD /d 129",
        L"/v FirstMessageDelay /t REG_DWORD /d 10",
        L"/v MessageInterval /t REG_DWORD /d 300",
        L"/v ShutdownWait /t REG_DWORD /d 15",
        L"/v HideUPSPane /t REG_DWORD /d 1",
        L"/v BatteryLife /t REG_DWORD /d 5",
    };
    for (const wchar_t* value : values) {
        ASSERT_TRUE(Reg(L"add " + ups + L" " + value + L" /f")) << value;
    }
    ASSERT_EQ(ups_area::Diff(ups_expected::OlderConfiguration()), "");

    Site site(ScenarioDir(kScenario) + L"\\siteG");
    ASSERT_NO_FATAL_FAILURE(StartOnce(site));
    EXPECT_EQ(ups_area::Diff(ups_expected::UpgradePriming()), "");
    ASSERT_NO_FATAL_FAILURE(StartOnce(site));
    EXPECT_EQ(ups_area::Diff(ups_expected::UpgradePriming()), "");
}

}  // namespace
}  // namespace e2e
