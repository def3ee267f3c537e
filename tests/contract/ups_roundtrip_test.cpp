// The field tables on the real registry: one round trip of both, checked
// against the listings the host tests check on the simulation (the priming
// runs on the real registry in the end-to-end tests, through the service).
// Changes HKLM\SYSTEM\CurrentControlSet\Services\UPS of the machine: run it
// in a test prefix only.
#include <gtest/gtest.h>

#include "tests/contract/ups_area.h"
#include "tests/contract/ups_expected.h"

TEST(UpsAreaTest, RoundTripOfBothTablesLeavesTheExpectedBytes) {
    ups_area::Clear();
    ASSERT_EQ(ups_area::Dump(), "") << "the UPS area could not be removed";
    ups_area::SeedListing(ups_area::File("roundtrip-seed"));
    ups_expected::RunRoundTrip();
    EXPECT_EQ(ups_area::File("roundtrip-result"), ups_area::Dump());
    ups_area::Clear();
}
