// The registry field tables on the simulated registry. What a load, a setter,
// a getter, a reload and a save do with any stored value is checked against a
// model by the fuzz case (tests/fuzz); here: failures of the registry and the
// heap during a load, and the shared round trip as a whole snapshot.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/sim/sim.h"
#include "tests/contract/ups_area.h"
#include "tests/contract/ups_expected.h"
#include "upsprime/upsprime.h"

namespace {

using ups_area::Bytes;

// The data of every record of both tables, in order; checks that each holds
// data exactly when its size is not 0.
std::vector<Bytes> TableData() {
    std::vector<Bytes> all;
    for (RegistryField** table : {ConfigFieldTable, StatusFieldTable}) {
        for (RegistryField** at = table; *at != nullptr; ++at) {
            const RegistryField* r = *at;
            EXPECT_EQ(r->data == nullptr, r->data_size == 0) << sim::U8(r->value_name);
            all.push_back(r->data == nullptr ? Bytes() : Bytes(r->data, r->data + r->data_size));
        }
    }
    return all;
}

void LoadBoth() {
    LoadFields(ConfigFieldTable, 0);
    LoadFields(StatusFieldTable, 0);
}

void FreeBoth() {
    FreeFields(ConfigFieldTable);
    FreeFields(StatusFieldTable);
}

class FieldsTest : public ::testing::Test {
protected:
    void SetUp() override { sim::Reset(); }
    void TearDown() override {
        FreeBoth();
        EXPECT_EQ(sim::LiveAllocations(), 0u);
        EXPECT_EQ(sim::OpenHandles(), 0u);
    }
};

// The Nth allocation, key opening or value query of a load failing, for every
// N: at most the record being loaded is left without data, nothing leaks and
// no key stays open.
TEST_F(FieldsTest, AFailureDuringALoadLeavesOnlyThatRecordEmpty) {
    ups_area::Seed(ups_expected::RoundTripSeed());
    LoadBoth();
    const std::vector<Bytes> whole = TableData();
    FreeBoth();
    for (sim::Op op : {sim::Op::HeapAllocate, sim::Op::RegOpenKeyExW, sim::Op::RegQueryValueExW}) {
        int n = 1;
        for (;; ++n) {
            SCOPED_TRACE(testing::Message() << "op " << static_cast<int>(op) << " n " << n);
            ASSERT_LT(n, 200);
            sim::Reset();
            ups_area::Seed(ups_expected::RoundTripSeed());
            sim::FailNth(op, n);
            LoadBoth();
            const bool reached = !sim::FailurePending(op);
            sim::FailNth(op, 0);
            EXPECT_EQ(sim::OpenHandles(), 0u);
            const std::vector<Bytes> got = TableData();
            int lost = 0;
            for (std::size_t i = 0; i < got.size(); ++i) {
                if (got[i] == whole[i]) continue;
                ++lost;
                EXPECT_EQ(got[i], Bytes()) << i;
            }
            EXPECT_LE(lost, reached ? 1 : 0);
            FreeBoth();
            EXPECT_EQ(sim::LiveAllocations(), 0u);
            if (!reached) break;
        }
        EXPECT_GT(n, 10);
    }
}

// The shared round trip, checked against the listing the Windows program
// checks on the real registry, and as a whole snapshot.
TEST_F(FieldsTest, RoundTripOfBothTablesLeavesTheExpectedBytes) {
    ups_area::Seed(ups_expected::RoundTripResult());
    const std::string want = sim::RegSnapshot(u"SYSTEM");
    sim::Reset();
    ups_area::Seed(ups_expected::RoundTripSeed());
    ups_expected::RunRoundTrip();
    EXPECT_EQ(ups_area::Diff(ups_expected::RoundTripResult()), "");
    EXPECT_EQ(sim::RegSnapshot(u"SYSTEM"), want);
}

}  // namespace
