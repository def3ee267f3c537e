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

// `values` with `v` in place of the value of the same key and name (or added).
Values With(Values values, const Value& v) {
    for (Value& old : values) {
        if (old.key == v.key && old.name == v.name) {
            old = v;
            return values;
        }
    }
    values.push_back(v);
    return values;
}

Values Without(Values values, const std::u16string& key, const std::u16string& name) {
    Values out;
    for (const Value& v : values) {
        if (!(v.key == key && v.name == name)) out.push_back(v);
    }
    return out;
}

Values WithoutKey(Values values, const std::u16string& key) {
    Values out;
    for (const Value& v : values) {
        if (v.key != key) out.push_back(v);
    }
    return out;
}

Values Join(Values a, const Values& b) {
    for (const Value& v : b)
        a = With(a, v);
    return a;
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
        EXPECT_EQ(sim::OpenKeyCount(), 0u);
    }
};

struct Road {
    const char* what;
    Values before;
    Values after;
};

std::vector<Road> Roads() {
    using namespace ups_expected;
    const Values older = OlderConfiguration();
    const Values upgraded = UpgradePriming();
    const Value battery_kept = DwValue(u"", u"BatteryLife", 5);
    const Values fresh_over_older =
        Join(FreshPriming(), {DwValue(u"", u"ShutdownWait", 15), battery_kept});
    const Value not_enabled = DwValue(u"Config", u"ShutdownOnBatteryEnable", 0);
    const Value default_wait = DwValue(u"Config", u"ShutdownOnBatteryWait", 2);
    auto battery = [&](Bytes bytes, DWORD type = platform::REG_DWORD) {
        return With(older, Value{u"", u"BatteryLife", type, bytes});
    };
    auto wait = [&](DWORD minutes) {
        return With(upgraded, DwValue(u"Config", u"ShutdownOnBatteryWait", minutes));
    };
    return {
        {"no UPS key", {}, FreshPriming()},
        {"UPS key without values",
         {DwValue(u"Status", u"CommStatus", 3)},
         With(FreshPriming(), DwValue(u"Status", u"CommStatus", 3))},
        {"older configuration", older, upgraded},
        {"older options 0x80", With(older, DwValue(u"", u"Options", 0x80)), fresh_over_older},
        {"older options as string", With(older, SzValue(u"", u"Options", u"129")),
         fresh_over_older},
        {"older options 0x01", With(older, DwValue(u"", u"Options", 0x01)),
         With(With(upgraded, DwValue(u"", u"Options", 0x01)),
              DwValue(u"Config", u"RunTaskEnable", 0))},
        {"older options one byte", With(older, Value{u"", u"Options", platform::REG_DWORD, {0x81}}),
         With(upgraded, Value{u"", u"Options", platform::REG_DWORD, {0x81}})},
        {"battery life as string", battery(ups_area::Sz(u"5"), platform::REG_SZ),
         Join(upgraded, {not_enabled, default_wait, SzValue(u"", u"BatteryLife", u"5")})},
        {"battery life one byte", battery({7}), wait(7)},
        {"battery life two bytes", battery({0x34, 0x12}), wait(0x1234)},
        {"battery life three bytes", battery({1, 2, 3}), wait(0x030201)},
        {"battery life zero bytes", battery({}),
         Join(upgraded,
              {not_enabled, default_wait, Value{u"", u"BatteryLife", platform::REG_DWORD, {}}})},
        {"battery life eight bytes", battery({9, 0, 0, 0, 0, 0, 0, 0}),
         Join(upgraded,
              {not_enabled, default_wait,
               Value{u"", u"BatteryLife", platform::REG_DWORD, {9, 0, 0, 0, 0, 0, 0, 0}}})},
        {"no battery life", Without(older, u"", u"BatteryLife"),
         Join(upgraded, {not_enabled, default_wait})},
        {"older configuration with odd values",
         Join(older, {Value{u"", u"Port", platform::REG_SZ, ups_area::SzNoTerminator(u"COM9")},
                      Value{u"", u"MessageInterval", platform::REG_DWORD, {}},
                      Value{u"", u"HideUPSPane", platform::REG_BINARY, {1}}}),
         Join(upgraded, {Value{u"", u"Port", platform::REG_SZ, ups_area::SzNoTerminator(u"COM9")},
                         Value{u"", u"MessageInterval", platform::REG_DWORD, {}}})},
    };
}

TEST_F(PrimeTest, FirstStartWritesTheExpectedAreaAndSecondStartNothing) {
    for (const Road& road : Roads()) {
        SCOPED_TRACE(road.what);
        const std::string want = SnapshotOf(road.after);
        ups_area::Seed(road.before);
        PrimeUpsRegistry();
        EXPECT_EQ(sim::RegSnapshot(u"SYSTEM"), want);
        EXPECT_EQ(ups_area::Diff(road.after), "");
        ExpectTablesEmpty();
        EXPECT_EQ(sim::LiveAllocations(), 0u);
        EXPECT_EQ(sim::OpenKeyCount(), 0u);

        const int writes = Writes();
        PrimeUpsRegistry();
        EXPECT_EQ(sim::RegSnapshot(u"SYSTEM"), want);
        EXPECT_EQ(Writes(), writes);
        sim::Reset();
    }
}

TEST_F(PrimeTest, OpenableConfigKeyMeansNothingIsWritten) {
    const Values cases[] = {
        {},
        ups_expected::OlderConfiguration(),
        {SzValue(u"Config", u"Vendor", u"Old"), DwValue(u"", u"Options", 0x81)},
    };
    for (const Values& before : cases) {
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
        EXPECT_EQ(sim::OpenKeyCount(), 0u);
    }
    sim::Reset();
    EXPECT_EQ(IsUpsConfigPresent(), 0);
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
        return Without(all, row.key, row.name);
    }
    if (n == 13) {
        // Only the upgrade detection's save reached Config and the UPS key.
        Values out = Join(rows, DefaultStatus());
        out = With(out, DwValue(u"Config", u"Upgrade", upgrade ? 1 : 0));
        if (upgrade) out = Join(out, OlderConfiguration());
        return out;
    }
    return WithoutKey(all, u"Status");
}

TEST_F(PrimeTest, EachKeyCreationFailingInTurnSkipsOnlyItsStep) {
    for (bool upgrade : {false, true}) {
        const Values before = upgrade ? ups_expected::OlderConfiguration() : Values();
        sim::Reset();
        ups_area::Seed(before);
        const int seeding = sim::CallCount(sim::Op::RegCreateKeyExW);
        PrimeUpsRegistry();
        EXPECT_EQ(sim::CallCount(sim::Op::RegCreateKeyExW) - seeding, 14);
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
            EXPECT_EQ(sim::OpenKeyCount(), 0u);
            EXPECT_EQ(sim::LiveAllocations(), 0u);
            ExpectTablesEmpty();
            if (!reached) break;
            EXPECT_EQ(sim::RegSnapshot(u"SYSTEM"), want);
            sim::Reset();
        }
        EXPECT_EQ(n, 15);
    }
}

int CountValues(const std::string& snapshot) {
    int count = 0;
    std::size_t at = 0;
    while (at < snapshot.size()) {
        if (snapshot.compare(at, 4, "VAL ") == 0) ++count;
        const std::size_t end = snapshot.find('\n', at);
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return count;
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
            EXPECT_EQ(sim::OpenKeyCount(), 0u);
            ExpectTablesEmpty();

            int present = 0;
            for (const auto& known : ups_area::KnownNames()) {
                Value got;
                const bool is = ups_area::Read(known.first, known.second, &got);
                present += is ? 1 : 0;
                bool matched = false;
                for (const Values& outcome : outcomes) {
                    const Value* want = nullptr;
                    for (const Value& v : outcome) {
                        if (v.key == known.first && v.name == known.second) want = &v;
                    }
                    if (want == nullptr
                            ? !is
                            : is && got.type == want->type && got.bytes == want->bytes) {
                        matched = true;
                    }
                }
                EXPECT_TRUE(matched) << (is ? ups_area::Describe(got)
                                            : "absent [" + ups_area::Narrow(known.first) + "] " +
                                                  ups_area::Narrow(known.second));
            }
            EXPECT_EQ(CountValues(sim::RegSnapshot(u"SYSTEM")), present);
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
