// The first-start priming of the UPS registry area on the simulated registry,
// compared as whole snapshots of everything under "SYSTEM": the roads through
// older values the end-to-end priming table does not seed, and a key
// creation or an allocation failing at every point of the run.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
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
using ups_area::Join;
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

// `values` without the value `name` of `key`, or without every value of `key`
// when `name` is null.
Values Without(const Values& values, const std::u16string& key, const char16_t* name) {
    Values out;
    for (const Value& v : values) {
        if (v.key != key || (name != nullptr && v.name != name)) out.push_back(v);
    }
    return out;
}

int Writes() {
    return sim::CallCount(sim::Op::RegSetValueExW) + sim::CallCount(sim::Op::RegDeleteValueW) +
           sim::CallCount(sim::Op::RegCreateKeyExW);
}

class PrimeTest : public ::testing::Test {
protected:
    void SetUp() override { sim::Reset(); }
    void TearDown() override { ExpectNothingLeft(); }
    // Nothing leaked, left open or left in the field tables.
    static void ExpectNothingLeft() {
        for (RegistryField** table : {ConfigFieldTable, StatusFieldTable}) {
            for (RegistryField** at = table; *at != nullptr; ++at)
                EXPECT_EQ((*at)->data_size + (*at)->changed, 0u) << sim::U8((*at)->value_name);
        }
        EXPECT_EQ(sim::LiveAllocations(), 0u);
        EXPECT_EQ(sim::OpenHandles(), 0u);
    }
};

Value Raw(const std::u16string& key, const std::u16string& name, DWORD type, Bytes bytes) {
    return Value{key, name, type, bytes};
}

// No UPS key and an older configuration: UpsPrimeE2E, its two rows; a second
// start that finds Config writes nothing: the same rows' second start.
TEST_F(PrimeTest, FirstStartWritesTheExpectedAreaAndSecondStartNothing) {
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
    auto battery = [&](Bytes bytes) {
        return Join(older, {Raw(u"", u"BatteryLife", dword, bytes)});
    };
    auto taken = [&](DWORD minutes) {
        return Join(upgraded, {DwValue(u"Config", u"ShutdownOnBatteryWait", minutes)});
    };
    const Value odd_port = Raw(u"", u"Port", platform::REG_SZ, ups_area::Sz(u"COM9", false));
    const Value no_interval = Raw(u"", u"MessageInterval", dword, {});
    const struct {
        const char* what;
        Values before;
        Values after;
    } roads[] = {
        {"UPS key without values",
         {DwValue(u"Status", u"CommStatus", 3)},
         Join(FreshPriming(), {DwValue(u"Status", u"CommStatus", 3)})},
        {"older options 0x80", Join(older, {DwValue(u"", u"Options", 0x80)}), fresh_over_older},
        {"older options as string", Join(older, {SzValue(u"", u"Options", u"129")}),
         fresh_over_older},
        {"older options 0x01", Join(older, {DwValue(u"", u"Options", 0x01)}),
         Join(upgraded, {DwValue(u"", u"Options", 0x01), DwValue(u"Config", u"RunTaskEnable", 0)})},
        {"older options one byte", Join(older, {Raw(u"", u"Options", dword, {0x81})}),
         Join(upgraded, {Raw(u"", u"Options", dword, {0x81})})},
        {"battery life one byte", battery({7}), taken(7)},
        {"battery life two bytes", battery({0x34, 0x12}), taken(0x1234)},
        {"battery life three bytes", battery({1, 2, 3}), taken(0x030201)},
        {"battery life as string", Join(older, {SzValue(u"", u"BatteryLife", u"5")}),
         kept({SzValue(u"", u"BatteryLife", u"5")})},
        {"battery life zero bytes", battery({}), kept({Raw(u"", u"BatteryLife", dword, {})})},
        {"battery life eight bytes", battery(Bytes(8, 9)),
         kept({Raw(u"", u"BatteryLife", dword, Bytes(8, 9))})},
        {"no battery life", Without(older, u"", u"BatteryLife"), kept({})},
        {"older configuration with odd values",
         Join(older, {odd_port, no_interval, Raw(u"", u"HideUPSPane", platform::REG_BINARY, {1})}),
         Join(upgraded, {odd_port, no_interval})},
    };
    for (const auto& road : roads) {
        SCOPED_TRACE(road.what);
        const std::string want = SnapshotOf(road.after);
        ups_area::Seed(road.before);
        PrimeUpsRegistry();
        EXPECT_EQ(sim::RegSnapshot(u"SYSTEM"), want) << ups_area::Diff(road.after);
        ExpectNothingLeft();
        const int writes = Writes();
        PrimeUpsRegistry();
        EXPECT_EQ(sim::RegSnapshot(u"SYSTEM"), want);
        EXPECT_EQ(Writes(), writes);
        sim::Reset();
    }
}

// What the run writes when the nth key creation fails: Config (upgrade
// detection), the 11 provider rows, Config (configuration), Status. A Config
// key that exists but cannot be opened for reading (n = 0: the first open
// fails) takes the existing-key road: nothing loaded, "Upgrade" 0.
Values ExpectedWhenCreateFails(bool upgrade, int n) {
    using namespace ups_expected;
    const Values all = upgrade ? UpgradePriming() : FreshPriming();
    const Values unreadable = upgrade ? Join(FreshPriming(), {DwValue(u"", u"ShutdownWait", 15),
                                                              DwValue(u"", u"BatteryLife", 5)})
                                      : FreshPriming();
    if (n <= 1) return n == 0 ? unreadable : Without(unreadable, u"Config", u"Upgrade");
    if (n <= 12) {
        const ServiceProviderEntry& row = ServiceProviderTable[n - 2];
        const std::u16string key =
            std::u16string(row.key_path).substr(std::u16string(kUpsKey).size() + 1);
        return Without(all, key, row.value_name);
    }
    if (n == 14) return Without(all, u"Status", nullptr);
    // Only the upgrade detection's save reached Config, beside the providers and Status.
    Values out = upgrade ? OlderConfiguration() : Values();
    for (const Value& v : all) {
        if (v.key != u"Config" && !v.key.empty()) out.push_back(v);
    }
    return Join(out, {DwValue(u"Config", u"Upgrade", upgrade)});
}

TEST_F(PrimeTest, EachKeyCreationFailingInTurnSkipsOnlyItsStep) {
    for (bool upgrade : {false, true}) {
        int n = 0;
        for (;; ++n) {
            SCOPED_TRACE(testing::Message() << (upgrade ? "upgrade" : "fresh") << " n " << n);
            ASSERT_LE(n, 15);
            const std::string want = SnapshotOf(ExpectedWhenCreateFails(upgrade, n));
            ups_area::Seed(upgrade ? ups_expected::OlderConfiguration() : Values());
            if (n == 0) {
                ups_area::Seed(
                    {SzValue(u"Config", u"Vendor", u"Old"), DwValue(u"Config", u"Upgrade", 1)});
                sim::FailNth(sim::Op::RegOpenKeyExW, 1);
            }
            sim::FailNth(sim::Op::RegCreateKeyExW, n);
            PrimeUpsRegistry();
            const bool reached = n == 0 || !sim::FailurePending(sim::Op::RegCreateKeyExW);
            sim::FailNth(sim::Op::RegCreateKeyExW, 0);
            ExpectNothingLeft();
            if (!reached) break;
            EXPECT_EQ(sim::RegSnapshot(u"SYSTEM"), want);
            sim::Reset();
        }
        EXPECT_EQ(n, 15);  // 14 key creations
    }
}

// The value lines of a snapshot, by "VAL <path> | <name>".
std::map<std::string, std::string> ValuesOf(const std::string& snapshot) {
    std::map<std::string, std::string> out;
    std::istringstream lines(snapshot);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("VAL ", 0) == 0)
            out[line.substr(0, line.find(" | ", line.find(" | ") + 3))] = line;
    }
    return out;
}

// The Nth allocation failing, for every N, over a whole priming run: every
// value ends as it was or as one of the two roads writes it, nothing else
// appears, and nothing leaks or stays open.
TEST_F(PrimeTest, AllocationFailureAnywhereLeavesAConsistentArea) {
    for (bool upgrade : {false, true}) {
        const Values before = upgrade ? ups_expected::OlderConfiguration() : Values();
        const Values done = upgrade ? ups_expected::UpgradePriming() : ups_expected::FreshPriming();
        std::vector<std::map<std::string, std::string>> outcomes;
        for (const Values& v :
             {before, ups_expected::FreshPriming(), ups_expected::UpgradePriming()})
            outcomes.push_back(ValuesOf(SnapshotOf(v)));
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
            ExpectNothingLeft();
            const auto got = ValuesOf(sim::RegSnapshot(u"SYSTEM"));
            std::map<std::string, std::string> names = got;
            for (const auto& outcome : outcomes)
                names.insert(outcome.begin(), outcome.end());
            for (const auto& name : names) {
                const std::string state = got.count(name.first) ? got.at(name.first) : "absent";
                bool matched = false;
                for (const auto& outcome : outcomes) {
                    matched =
                        matched ||
                        state == (outcome.count(name.first) ? outcome.at(name.first) : "absent");
                }
                EXPECT_TRUE(matched) << state << " for " << name.first;
            }
            if (!reached) {
                EXPECT_EQ(ups_area::Diff(done), "");
                break;
            }
        }
        EXPECT_GT(n, 20);
    }
}

}  // namespace
