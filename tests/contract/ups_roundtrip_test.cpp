// The field tables on the real registry: one round trip of both over odd
// stored values (the priming runs on the real registry in the end-to-end
// tests, through the service). Changes HKLM\SYSTEM\CurrentControlSet\Services\UPS
// of the machine: run it in a test prefix only.
#include "tests/contract/ups_area.h"
#include "upsprime/upsprime.h"

// Loads both tables, overwrites every stored value behind them, changes a few
// records, saves with force and frees: each record that loaded writes back
// what it loaded, so the overwrite stays only where nothing loaded.
TEST(UpsAreaTest, RoundTripOfBothTablesLeavesTheExpectedBytes) {
    ups_area::Clear();
    ASSERT_EQ(ups_area::Dump(), "") << "the UPS area could not be removed";
    ups_area::SeedListing(ups_area::File("roundtrip-seed"));
    LoadFields(ConfigFieldTable, 0);
    LoadFields(StatusFieldTable, 0);
    std::vector<ups_area::Value> behind = ups_area::Parse(ups_area::File("roundtrip-seed"));
    for (ups_area::Value& v : behind)
        v = ups_area::Value{v.key, v.name, platform::REG_BINARY, ups_area::Bytes{0x55}};
    ups_area::Seed(behind);
    SetNotifyEnable(1);
    SetVendor(u"Generic");
    SetTaskName(u"Shutdown");
    SetSerialNumber(u"");
    SetBatteryStatus(0);
    SaveFields(ConfigFieldTable, 1);
    SaveFields(StatusFieldTable, 1);
    FreeFields(ConfigFieldTable);
    FreeFields(StatusFieldTable);
    EXPECT_EQ(ups_area::File("roundtrip-result"), ups_area::Dump());
    ups_area::Clear();
}
