// Expected states of the UPS service's registry area, shared by the host
// tests (simulation) and the Windows test programs (real registry), so both
// check the same bytes. The states are data: the listings (see ups_area.h) in
// tests/contract/areas/.
#ifndef QELN_TESTS_CONTRACT_UPS_EXPECTED_H
#define QELN_TESTS_CONTRACT_UPS_EXPECTED_H

#include <string>
#include <vector>

#include "tests/contract/ups_area.h"
#include "upsprime/upsprime.h"

namespace ups_expected {

using ups_area::Bytes;
using ups_area::Value;

// The listing `name` (tests/contract/areas/), or the values of its keys that
// start with `prefix`.
inline std::vector<Value> State(const std::string& name, const std::u16string& prefix = u"") {
    std::vector<Value> values;
    for (const Value& v : ups_area::Parse(ups_area::File(name))) {
        if (v.key.compare(0, prefix.size(), prefix) == 0) values.push_back(v);
    }
    return values;
}

// The area after the first start on a machine without any UPS key; an older
// configuration kept directly under the UPS key; the area after the first
// start over it; odd stored values that a round trip of both field tables
// must leave byte for byte (RoundTripSeed).
inline const auto FreshPriming = [] { return State("fresh"); };
inline const auto OlderConfiguration = [] { return State("older"); };
inline const auto UpgradePriming = [] { return State("upgrade"); };
inline const auto RoundTripSeed = [] { return State("roundtrip-seed"); };

// Load both tables, overwrite every stored value behind them, change a few
// records, save with force and free: each record that loaded writes back
// what it loaded, so the overwrite stays only where nothing loaded.
inline void RunRoundTrip() {
    LoadFields(ConfigFieldTable, 0);
    LoadFields(StatusFieldTable, 0);
    std::vector<Value> behind = RoundTripSeed();
    for (Value& v : behind)
        v = Value{v.key, v.name, platform::REG_BINARY, Bytes{0x55}};
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
}

}  // namespace ups_expected

#endif
