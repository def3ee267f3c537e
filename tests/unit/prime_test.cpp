// The first-start priming of the UPS registry area, on the simulated registry,
// compared as whole snapshots of everything under "SYSTEM".
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/sim/sim.h"
#include "tests/contract/ups_area.h"
#include "tests/contract/ups_expected.h"
#include "upsprime/prime.h"
#include "upsprime/upsprime.h"

namespace {

using platform::DWORD;
using ups_area::Bytes;
using ups_area::DwValue;
using ups_area::SzValue;
using ups_area::Value;
using Values = std::vector<Value>;

// The snapshot of a registry that holds exactly `values`.
std::string SnapshotOf(const Values& values) {
    sim::Reset();
    ups_area::Seed(values);
    std::string snapshot = sim::RegSnapshot(u"SYSTEM");
    sim::Reset();
    return snapshot;
}

using ups_area::Join;

// `values` without the value `name` of `key`, or without every value of `key`
// when `name` is null.
Values Without(const Values& values, const std::u16string& key, const char16_t* name) {
    Values out;
    for (const Value& v : values) {
        if (v.key != key || (name != nullptr && v.name != name)) out.push_back(v);
    }
    return out;
}

void ExpectTablesEmpty() {
    for (RegistryField** table : {ConfigFieldTable, StatusFieldTable}) {
        for (RegistryField** at = table; *at != nullptr; ++at) {
            EXPECT_EQ((*at)->data, nullptr) << sim::U8((*at)->value_name);
            EXPECT_EQ((*at)->data_size, 0u);
            EXPECT_EQ((*at)->changed, 0u);
        }
    }
}

int Writes() {
    return sim::CallCount(sim::Op::RegSetValueExW) + sim::CallCount(sim::Op::RegDeleteValueW) +
           sim::CallCount(sim::Op::RegCreateKeyExW);
}

class PrimeTest : public ::testing::Test {
protected:
    void SetUp() override { sim::Reset(); }
    void TearDown() override {
        ExpectTablesEmpty();
        FreeFields(ConfigFieldTable);
        FreeFields(StatusFieldTable);
        EXPECT_EQ(sim::LiveAllocations(), 0u);
        EXPECT_EQ(sim::OpenHandles(), 0u);
    }
};

struct Road {
    const char* what;
    Values before;
    Values after;
};

Value Raw(const std::u16string& key, const std::u16string& name, DWORD type, Bytes bytes) {
    return Value{key, name, type, bytes};
}

std::vector<Road> Roads() {
    using namespace ups_expected;
    const DWORD dword = platform::REG_DWORD;
    const Values older = OlderConfiguration();
    const Values upgraded = UpgradePriming();
    const Values fresh_over_older =
        Join(FreshPriming(), {DwValue(u"", u"ShutdownWait", 15), DwValue(u"", u"BatteryLife", 5)});
    // A "BatteryLife" that is not taken over: left in place, no shutdown on battery.
    auto kept = [&](const Values& battery) {
        return Join(Join(upgraded, {DwValue(u"Config", u"ShutdownOnBatteryEnable", 0),
                                    DwValue(u"Config", u"ShutdownOnBatteryWait", 2)}),
                    battery);
    };
    auto taken = [&](Bytes bytes, DWORD minutes) {
        return Road{"battery life taken", Join(older, {Raw(u"", u"BatteryLife", dword, bytes)}),
                    Join(upgraded, {DwValue(u"Config", u"ShutdownOnBatteryWait", minutes)})};
    };
    const Value odd_port = Raw(u"", u"Port", platform::REG_SZ, ups_area::Sz(u"COM9", false));
    const Value no_interval = Raw(u"", u"MessageInterval", dword, {});
    return {
        {"no UPS key", {}, FreshPriming()},
        {"UPS key without values",
         {DwValue(u"Status", u"CommStatus", 3)},
         Join(FreshPriming(), {DwValue(u"Status", u"CommStatus", 3)})},
        {"older configuration", older, upgraded},
        {"older options 0x80", Join(older, {DwValue(u"", u"Options", 0x80)}), fresh_over_older},
        {"older options as string", Join(older, {SzValue(u"", u"Options", u"129")}),
         fresh_over_older},
        {"older options 0x01", Join(older, {DwValue(u"", u"Options", 0x01)}),
         Join(upgraded, {DwValue(u"", u"Options", 0x01), DwValue(u"Config", u"RunTaskEnable", 0)})},
        {"older options one byte", Join(older, {Raw(u"", u"Options", dword, {0x81})}),
         Join(upgraded, {Raw(u"", u"Options", dword, {0x81})})},
        taken({7}, 7),
        taken({0x34, 0x12}, 0x1234),
        taken({1, 2, 3}, 0x030201),
        {"battery life as string", Join(older, {SzValue(u"", u"BatteryLife", u"5")}),
         kept({SzValue(u"", u"BatteryLife", u"5")})},
        {"battery life zero bytes", Join(older, {Raw(u"", u"BatteryLife", dword, {})}),
         kept({Raw(u"", u"BatteryLife", dword, {})})},
        {"battery life eight bytes", Join(older, {Raw(u"", u"BatteryLife", dword, Bytes(8, 9))}),
         kept({Raw(u"", u"BatteryLife", dword, Bytes(8, 9))})},
        {"no battery life", Without(older, u"", u"BatteryLife"), kept({})},
        {"older configuration with odd values",
         Join(older, {odd_port, no_interval, Raw(u"", u"HideUPSPane", platform::REG_BINARY, {1})}),
         Join(upgraded, {odd_port, no_interval})},
    };
}

TEST_F(PrimeTest, FirstStartWritesTheExpectedAreaAndSecondStartNothing) {
    for (const Road& road : Roads()) {
        SCOPED_TRACE(road.what);
        const std::string want = SnapshotOf(road.after);
        ups_area::Seed(road.before);
        PrimeUpsRegistry();
        EXPECT_EQ(sim::RegSnapshot(u"SYSTEM"), want) << ups_area::Diff(road.after);
        ExpectTablesEmpty();
        EXPECT_EQ(sim::LiveAllocations(), 0u);
        EXPECT_EQ(sim::OpenHandles(), 0u);

        const int writes = Writes();
        PrimeUpsRegistry();
        EXPECT_EQ(sim::RegSnapshot(u"SYSTEM"), want);
        EXPECT_EQ(Writes(), writes);
        sim::Reset();
    }
}

TEST_F(PrimeTest, OpenableConfigKeyMeansNothingIsWritten) {
    const Values older =
        Join(ups_expected::OlderConfiguration(), {SzValue(u"Config", u"Vendor", u"Old")});
    for (const Values& before : {Values(), older}) {
        SCOPED_TRACE(before.size());
        sim::Reset();
        ups_area::Seed(before);
        ups_area::CreateEmptyKey(u"Config");
        const std::string want = sim::RegSnapshot(u"SYSTEM");
        const int writes = Writes();
        EXPECT_EQ(IsUpsConfigPresent(), 1);
        PrimeUpsRegistry();
        EXPECT_EQ(sim::RegSnapshot(u"SYSTEM"), want);
        EXPECT_EQ(Writes(), writes);
    }
}

// A Config key that exists but cannot be opened for reading: the existing-key
// road, where nothing is loaded, "Upgrade" is 0 and the fresh values follow.
TEST_F(PrimeTest, ExistingConfigThatCannotBeReadTakesTheFreshRoad) {
    const Values before =
        Join(ups_expected::OlderConfiguration(),
             {SzValue(u"Config", u"Vendor", u"Old"), DwValue(u"Config", u"Upgrade", 1)});
    const std::string want =
        SnapshotOf(Join(ups_expected::FreshPriming(),
                        {DwValue(u"", u"ShutdownWait", 15), DwValue(u"", u"BatteryLife", 5)}));
    ups_area::Seed(before);
    sim::FailNth(sim::Op::RegOpenKeyExW, 1);
    PrimeUpsRegistry();
    EXPECT_FALSE(sim::FailurePending(sim::Op::RegOpenKeyExW));
    EXPECT_EQ(sim::RegSnapshot(u"SYSTEM"), want);
}

// The key creations, in order: Config (upgrade detection), the 11 provider
// rows, Config (configuration), Status.
Values ExpectedWhenCreateFails(bool upgrade, int n) {
    using namespace ups_expected;
    const Values all = upgrade ? UpgradePriming() : FreshPriming();
    const Values rows = ServiceProviderRows();
    if (n == 1) {
        // Nothing detected: the configuration step finds a new Config and
        // writes the fresh values; what it does not set stays as it was.
        Values out = Without(FreshPriming(), u"Config", u"Upgrade");
        if (upgrade) {
            out = Join(out, {DwValue(u"", u"ShutdownWait", 15), DwValue(u"", u"BatteryLife", 5)});
        }
        return out;
    }
    if (n >= 2 && n <= 12) {
        const Value& row = rows[static_cast<std::size_t>(n - 2)];
        return Without(all, row.key, row.name.c_str());
    }
    if (n == 13) {
        // Only the upgrade detection's save reached Config and the UPS key.
        const Values out = Join(rows + DefaultStatus(), {DwValue(u"Config", u"Upgrade", upgrade)});
        return upgrade ? Join(out, OlderConfiguration()) : out;
    }
    return Without(all, u"Status", nullptr);
}

TEST_F(PrimeTest, EachKeyCreationFailingInTurnSkipsOnlyItsStep) {
    for (bool upgrade : {false, true}) {
        const Values before = upgrade ? ups_expected::OlderConfiguration() : Values();
        int n = 1;
        for (;; ++n) {
            SCOPED_TRACE(testing::Message() << (upgrade ? "upgrade" : "fresh") << " n " << n);
            ASSERT_LE(n, 15);
            const std::string want = SnapshotOf(ExpectedWhenCreateFails(upgrade, n));
            ups_area::Seed(before);
            sim::FailNth(sim::Op::RegCreateKeyExW, n);
            PrimeUpsRegistry();
            const bool reached = !sim::FailurePending(sim::Op::RegCreateKeyExW);
            sim::FailNth(sim::Op::RegCreateKeyExW, 0);
            EXPECT_EQ(sim::OpenHandles(), 0u);
            EXPECT_EQ(sim::LiveAllocations(), 0u);
            ExpectTablesEmpty();
            if (!reached) break;
            EXPECT_EQ(sim::RegSnapshot(u"SYSTEM"), want);
            sim::Reset();
        }
        EXPECT_EQ(n, 15);  // 14 key creations
    }
}

// How the area holds the value `name` of `key`, for comparisons.
std::string StateOf(const Values& values, const std::u16string& key, const std::u16string& name) {
    std::string state = "absent";
    for (const Value& v : values) {
        if (v.key == key && v.name == name) state = ups_area::Describe(v);
    }
    return state;
}

// The Nth allocation failing, for every N, over a whole priming run: every
// value ends as it was or as one of the two roads writes it, nothing else
// appears, and nothing leaks or stays open.
TEST_F(PrimeTest, AllocationFailureAnywhereLeavesAConsistentArea) {
    for (bool upgrade : {false, true}) {
        const Values before = upgrade ? ups_expected::OlderConfiguration() : Values();
        const Values outcomes[] = {before, ups_expected::FreshPriming(),
                                   ups_expected::UpgradePriming()};
        int n = 1;
        for (;; ++n) {
            SCOPED_TRACE(testing::Message() << (upgrade ? "upgrade" : "fresh") << " n " << n);
            ASSERT_LT(n, 200);
            sim::Reset();
            ups_area::Seed(before);
            sim::FailNth(sim::Op::HeapAllocate, n);
            PrimeUpsRegistry();
            const bool reached = !sim::FailurePending(sim::Op::HeapAllocate);
            sim::FailNth(sim::Op::HeapAllocate, 0);
            EXPECT_EQ(sim::LiveAllocations(), 0u);
            EXPECT_EQ(sim::OpenHandles(), 0u);
            ExpectTablesEmpty();

            int present = 0;
            for (const auto& known : ups_area::KnownNames()) {
                Value got;
                const bool is = ups_area::Read(known.first, known.second, &got);
                present += is ? 1 : 0;
                const std::string state =
                    StateOf(is ? Values{got} : Values(), known.first, known.second);
                bool matched = false;
                for (const Values& outcome : outcomes)
                    matched = matched || state == StateOf(outcome, known.first, known.second);
                EXPECT_TRUE(matched) << state << " [" << ups_area::Narrow(known.first) << "] "
                                     << ups_area::Narrow(known.second);
            }
            // Nothing else appears anywhere.
            const std::string snapshot = sim::RegSnapshot(u"SYSTEM");
            int values = 0;
            for (std::size_t at = 0; (at = snapshot.find("\nVAL ", at)) != std::string::npos; ++at)
                ++values;
            EXPECT_EQ(values, present);
            if (!reached) {
                EXPECT_EQ(ups_area::Diff(upgrade ? ups_expected::UpgradePriming()
                                                 : ups_expected::FreshPriming()),
                          "");
                break;
            }
        }
        EXPECT_GT(n, 20);
    }
}

}  // namespace
