// The first-start priming of the UPS registry area on the simulated registry:
// every road of the end-to-end priming table (the listing "roads") with what
// the real registry cannot show, and a key creation or an allocation failing
// at every point of the run, compared as whole snapshots of "SYSTEM".
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/sim/sim.h"
#include "tests/contract/ups_area.h"
#include "upsprime/prime.h"
#include "upsprime/upsprime.h"

namespace {

using ups_area::File;
using ups_area::Parse;
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

std::size_t Lines(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
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

// Each run leaves nothing behind and nothing outside the layout's keys and
// names (the snapshot holds the three keys above the area besides the
// dump's lines); the second start finds Config and writes nothing.
TEST_F(PrimeTest, EachRoadWritesItsAreaOnceAndNothingElse) {
    ups_area::EachRoad([](int start) {
        const int writes = Writes();
        PrimeUpsRegistry();
        ExpectNothingLeft();
        EXPECT_EQ(Lines(sim::RegSnapshot(u"SYSTEM")), Lines(ups_area::Dump()) + 3);
        if (start == 2) {
            EXPECT_EQ(Writes(), writes);
        }
    });
}

// What the run writes when the nth key creation fails: Config (upgrade
// detection), the 11 provider rows, Config (configuration), Status. A Config
// key that exists but cannot be opened for reading (n = 0: the first open
// fails) takes the existing-key road: nothing loaded, "Upgrade" 0.
std::string ExpectedWhenCreateFails(bool upgrade, int n) {
    const Values all = Parse(File(upgrade ? "upgrade" : "fresh"));
    Values out;
    auto keep = [&out](const Values& from, auto dropped) {
        for (const Value& v : from) {
            if (!dropped(v)) out.push_back(v);
        }
    };
    if (n <= 1) {
        keep(Parse(File(upgrade ? "fresh-over-older" : "fresh")),
             [n](const Value& v) { return n == 1 && v.name == u"Upgrade"; });
    } else if (n <= 12) {
        const ServiceProviderEntry& row = ServiceProviderTable[n - 2];
        keep(all, [&row](const Value& v) {
            return ups_area::Path(v.key) == row.key_path && v.name == row.value_name;
        });
    } else if (n == 14) {
        keep(all, [](const Value& v) { return v.key == u"Status"; });
    } else {  // only the upgrade detection's save reached Config
        if (upgrade) out = Parse(File("older"));
        keep(all, [](const Value& v) { return v.key == u"Config" || v.key.empty(); });
        out.push_back(Value{u"Config", u"Upgrade", platform::REG_DWORD, {upgrade, 0, 0, 0}});
    }
    return SnapshotOf(out);
}

TEST_F(PrimeTest, EachKeyCreationFailingInTurnSkipsOnlyItsStep) {
    for (bool upgrade : {false, true}) {
        int n = 0;
        for (;; ++n) {
            SCOPED_TRACE(testing::Message() << (upgrade ? "upgrade" : "fresh") << " n " << n);
            ASSERT_LE(n, 15);
            const std::string want = ExpectedWhenCreateFails(upgrade, n);
            if (upgrade) ups_area::SeedListing(File("older"));
            if (n == 0) {
                ups_area::SeedListing("[Config]\nVendor=sz:Old\nUpgrade=dword:0x1\n");
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
        const std::string before = upgrade ? File("older") : "";
        std::vector<std::map<std::string, std::string>> outcomes;
        for (const std::string& listing : {before, File("fresh"), File("upgrade")})
            outcomes.push_back(ValuesOf(SnapshotOf(Parse(listing))));
        int n = 1;
        for (;; ++n) {
            SCOPED_TRACE(testing::Message() << (upgrade ? "upgrade" : "fresh") << " n " << n);
            ASSERT_LT(n, 200);
            sim::Reset();
            ups_area::SeedListing(before);
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
                auto state = [&name](const std::map<std::string, std::string>& values) {
                    const auto at = values.find(name.first);
                    return at == values.end() ? std::string("absent") : at->second;
                };
                bool matched = false;
                for (const auto& outcome : outcomes)
                    matched = matched || state(outcome) == state(got);
                EXPECT_TRUE(matched) << state(got) << " for " << name.first;
            }
            if (!reached) {
                EXPECT_EQ(ups_area::Dump(), File(upgrade ? "upgrade" : "fresh"));
                break;
            }
        }
        EXPECT_GT(n, 20);
    }
}

}  // namespace
