// The first-start priming of the UPS registry area through the real service:
// a start writes the area before it launches anything when the area has no
// Config key, and a later start writes nothing.
//
// The expected areas are those the host tests check on the simulation. Their
// helpers use the portable registry calls, so they come before <windows.h>
// (brought in by the harness), whose macros would clash.
#include "tests/contract/ups_area.h"
#include "tests/contract/ups_expected.h"

#include <gtest/gtest.h>

#include "harness.h"

namespace e2e {
namespace {

using Area = std::vector<ups_area::Value>;

// The fresh priming with one value changed and one removed, as a user might.
Area Edited() {
    Area edited;
    for (const ups_area::Value& v : ups_expected::FreshPriming()) {
        if (v.name == u"BatteryStatus") continue;
        edited.push_back(v.name == u"Vendor" ? ups_area::SzValue(u"Config", u"Vendor", u"Mine")
                                             : v);
    }
    return edited;
}

struct PrimeRow {
    const char* what;
    Area before, afterFirst;
    Area between;  // written over the whole area before the second start; empty: left as it is
    Area afterSecond;
};

class UpsPrimeE2E : public ::testing::Test {
protected:
    void TearDown() override { ups_area::Clear(); }
};

// One service start run to its end: the application does not exist, so the
// run ends right after the priming, never RUNNING.
void StartOnce(const Site& site) {
    States seen;
    ASSERT_TRUE(site.Start());
    ASSERT_TRUE(site.WaitFor(SERVICE_STOPPED, &seen)) << Describe(seen);
    EXPECT_TRUE(Matches(seen, L"START_PENDING? STOPPED")) << Describe(seen);
}

TEST_F(UpsPrimeE2E, FirstStartPrimesTheAreaAndTheNextStartLeavesIt) {
    const PrimeRow rows[] = {
        {"no UPS key", {}, ups_expected::FreshPriming(), Edited(), Edited()},
        {"an older configuration",
         ups_expected::OlderConfiguration(),
         ups_expected::UpgradePriming(),
         {},
         ups_expected::UpgradePriming()},
    };
    Site site(L'P');
    ASSERT_TRUE(site.ready);
    RunResult install = site.Run(L"-install");
    ASSERT_TRUE(install.finished);
    ASSERT_EQ(0u, install.exitCode) << install.output;
    ASSERT_TRUE(site.Configure(site.work + L"\\missing.exe", L"missing"));
    for (const PrimeRow& row : rows) {
        SCOPED_TRACE(row.what);
        ups_area::Clear();
        ASSERT_FALSE(ups_area::KeyExists(u"")) << "the UPS area could not be removed";
        ups_area::Seed(row.before);
        ASSERT_EQ(ups_area::Diff(row.before), "");
        ASSERT_NO_FATAL_FAILURE(StartOnce(site));
        EXPECT_EQ(ups_area::Diff(row.afterFirst), "");
        if (!row.between.empty()) {
            ups_area::Clear();
            ups_area::Seed(row.between);
            ASSERT_EQ(ups_area::Diff(row.between), "");
        }
        ASSERT_NO_FATAL_FAILURE(StartOnce(site));
        EXPECT_EQ(ups_area::Diff(row.afterSecond), "");
    }
}

}  // namespace
}  // namespace e2e
