// The UPS area on the real registry: one round trip of both field tables and
// the priming roads, checked against the same byte listings as the host tests
// check on the simulation. Changes HKLM\SYSTEM\CurrentControlSet\Services\UPS
// of the machine (run it in a test prefix only).
#include <gtest/gtest.h>

#include "tests/contract/ups_area.h"
#include "tests/contract/ups_expected.h"
#include "upsprime/prime.h"
#include "upsprime/upsprime.h"

namespace {

class UpsAreaTest : public ::testing::Test {
protected:
    void SetUp() override {
        ups_area::Clear();
        ASSERT_FALSE(ups_area::KeyExists(u"")) << "the UPS key could not be removed";
    }
    void TearDown() override {
        FreeFields(ConfigFieldTable);
        FreeFields(StatusFieldTable);
        ups_area::Clear();
    }
};

TEST_F(UpsAreaTest, RoundTripOfBothTablesLeavesTheExpectedBytes) {
    ups_area::Seed(ups_expected::RoundTripSeed());
    ups_expected::RunRoundTrip();
    EXPECT_EQ(ups_area::Diff(ups_expected::RoundTripResult()), "");
}

TEST_F(UpsAreaTest, PrimingWithoutUpsKeyWritesTheFreshArea) {
    PrimeUpsRegistry();
    EXPECT_EQ(ups_area::Diff(ups_expected::FreshPriming()), "");
    PrimeUpsRegistry();  // a second start changes nothing
    EXPECT_EQ(ups_area::Diff(ups_expected::FreshPriming()), "");
}

TEST_F(UpsAreaTest, PrimingOverAnOlderConfigurationUpgradesIt) {
    ups_area::Seed(ups_expected::OlderConfiguration());
    PrimeUpsRegistry();
    EXPECT_EQ(ups_area::Diff(ups_expected::UpgradePriming()), "");
    PrimeUpsRegistry();
    EXPECT_EQ(ups_area::Diff(ups_expected::UpgradePriming()), "");
}

TEST_F(UpsAreaTest, ShortBatteryLifeIsTakenZeroExtended) {
    ups_area::Seed(ups_expected::OlderConfiguration());
    ups_area::Seed({ups_area::Value{u"", u"BatteryLife", platform::REG_DWORD, {0x34, 0x12}}});
    PrimeUpsRegistry();
    std::vector<ups_area::Value> want = ups_expected::UpgradePriming();
    for (ups_area::Value& v : want) {
        if (v.name == u"ShutdownOnBatteryWait") v.bytes = ups_area::Dw(0x1234);
    }
    EXPECT_EQ(ups_area::Diff(want), "");
}

TEST_F(UpsAreaTest, OpenableConfigKeyMeansNothingIsWritten) {
    ups_area::Seed(ups_expected::OlderConfiguration());
    ups_area::CreateEmptyKey(u"Config");
    EXPECT_EQ(IsUpsConfigPresent(), 1);
    PrimeUpsRegistry();
    EXPECT_EQ(ups_area::Diff(ups_expected::OlderConfiguration(), {u"Config"}), "");
}

}  // namespace
