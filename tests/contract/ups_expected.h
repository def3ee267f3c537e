// Expected contents of the UPS service's registry area, shared by the host
// tests (simulation) and the Windows test programs (real registry), so both
// check the same bytes.
#ifndef QELN_TESTS_CONTRACT_UPS_EXPECTED_H
#define QELN_TESTS_CONTRACT_UPS_EXPECTED_H

#include <vector>

#include "tests/contract/ups_area.h"
#include "upsprime/upsprime.h"

namespace ups_expected {

using ups_area::Bytes;
using ups_area::DwValue;
using ups_area::SzValue;
using ups_area::Value;

inline std::vector<Value> operator+(std::vector<Value> a, const std::vector<Value>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The provider rows, in writing order.
inline std::vector<Value> ServiceProviderRows() {
    const std::u16string v = u"ServiceProviders\\Vantrell";
    return {SzValue(u"ServiceProviders\\(None)", u"", u"0x7e;"),
            SzValue(u"ServiceProviders\\Generic", u"Custom", u"0x7f;"),
            SzValue(v, u"Dovrin", u"0x7F;"),
            SzValue(v, u"Dovrin Max", u"0x1;vtlups.dll"),
            SzValue(v, u"Simple Port on Interface Card", u"0x7F;"),
            SzValue(v, u"Simple signaling to any VTL unit", u"0x7F;"),
            SzValue(v, u"Tessal", u"0x1;vtlups.dll"),
            SzValue(v, u"Corvik", u"0x1;vtlups.dll"),
            SzValue(v, u"Halvane", u"0x1;vtlups.dll"),
            SzValue(v, u"Full signaling to any VTL unit", u"0x1;vtlups.dll"),
            SzValue(v, u"Quarn Rack", u"0x1;vtlups.dll")};
}

// Status values of every first start.
inline std::vector<Value> DefaultStatus() {
    return {SzValue(u"Status", u"SerialNumber", u""), SzValue(u"Status", u"FirmwareRev", u""),
            DwValue(u"Status", u"UtilityPowerStatus", 0), DwValue(u"Status", u"TotalUPSRuntime", 0),
            DwValue(u"Status", u"BatteryStatus", 0)};
}

// Configuration values of every first start, whatever the road.
inline std::vector<Value> CommonConfig(std::uint32_t upgrade) {
    return {SzValue(u"Config", u"ServiceProviderDLL", u""),
            DwValue(u"Config", u"NotifyEnable", 1),
            SzValue(u"Config", u"TaskName", u"UPS System Shutdown Program"),
            DwValue(u"Config", u"TurnUPSOffEnable", 1),
            DwValue(u"Config", u"CustomOptions", 0x7F),
            DwValue(u"Config", u"Upgrade", upgrade),
            DwValue(u"Config", u"CriticalPowerAction", 0),
            DwValue(u"Config", u"TurnUPSOffWait", 180),
            DwValue(u"", u"HideUPSPane", 0)};
}

// The whole area after the first start on a machine without any UPS key.
inline std::vector<Value> FreshPriming() {
    return ups_area::Join(
        ServiceProviderRows() + CommonConfig(0) + DefaultStatus(),
        {SzValue(u"Config", u"Vendor", u"(NONE)"), SzValue(u"Config", u"Model", u""),
         SzValue(u"", u"Port", u"COM1"), DwValue(u"", u"Options", 0x7E),
         DwValue(u"", u"FirstMessageDelay", 5), DwValue(u"", u"MessageInterval", 120),
         DwValue(u"Config", u"ShutdownOnBatteryEnable", 0),
         DwValue(u"Config", u"ShutdownOnBatteryWait", 2), DwValue(u"Config", u"RunTaskEnable", 0)});
}

// An older configuration kept directly under the UPS key.
inline std::vector<Value> OlderConfiguration() {
    return {SzValue(u"", u"Port", u"COM2"),         DwValue(u"", u"Options", 0x81),
            DwValue(u"", u"FirstMessageDelay", 10), DwValue(u"", u"MessageInterval", 300),
            DwValue(u"", u"ShutdownWait", 15),      DwValue(u"", u"HideUPSPane", 1),
            DwValue(u"", u"BatteryLife", 5)};
}

// The whole area after the first start over OlderConfiguration(): what the
// UPS key held is kept, except "HideUPSPane" and the "BatteryLife" taken over.
inline std::vector<Value> UpgradePriming() {
    std::vector<Value> older;
    for (const Value& v : OlderConfiguration()) {
        if (v.name != u"BatteryLife") older.push_back(v);
    }
    return ups_area::Join(
        ups_area::Join(ServiceProviderRows() + older, CommonConfig(1) + DefaultStatus()),
        {SzValue(u"Config", u"Vendor", u"Generic"), SzValue(u"Config", u"Model", u"Custom"),
         DwValue(u"Config", u"ShutdownOnBatteryEnable", 1),
         DwValue(u"Config", u"ShutdownOnBatteryWait", 5), DwValue(u"Config", u"RunTaskEnable", 1)});
}

// ---- One round trip of both field tables ----
// Odd stored values that a round trip must leave byte for byte: another
// type, zero length, short and long DWORDs, strings without terminator or
// of odd size, and a value of each record that is only loaded and saved.
inline std::vector<Value> RoundTripSeed() {
    return {Value{u"", u"Port", platform::REG_SZ, ups_area::Sz(u"COM3", false)},
            SzValue(u"", u"Options", u"129"),
            Value{u"", u"FirstMessageDelay", platform::REG_DWORD, Bytes{0x0A, 0x01}},
            Value{u"", u"MessageInterval", platform::REG_DWORD, Bytes{}},
            DwValue(u"", u"ShutdownWait", 30),
            Value{u"", u"HideUPSPane", platform::REG_BINARY, Bytes{0x01}},
            DwValue(u"", u"BatteryLife", 5),
            SzValue(u"Config", u"Vendor", u"Old Vendor"),
            Value{u"Config", u"Model", platform::REG_SZ, Bytes{0x41, 0x00, 0x42}},
            Value{u"Config", u"ServiceProviderDLL", platform::REG_EXPAND_SZ,
                  ups_area::Sz(u"%SystemRoot%\\x.dll")},
            DwValue(u"Config", u"NotifyEnable", 0),
            Value{u"Config", u"CustomOptions", platform::REG_DWORD, Bytes{1, 2, 3, 4, 5, 6, 7, 8}},
            SzValue(u"Config", u"VTLLinkURL", u""),
            Value{u"Config", u"TaskName", platform::REG_SZ, Bytes{}},
            DwValue(u"Config", u"Upgrade", 1),
            Value{u"Config", u"TurnUPSOffWait", platform::REG_DWORD, Bytes{0xB4, 0x00, 0x00}},
            SzValue(u"Status", u"SerialNumber", u"SN1"),
            SzValue(u"Status", u"FirmwareRev", u"1.2"),
            DwValue(u"Status", u"CommStatus", 2),
            DwValue(u"Status", u"BatteryCapacity", 100)};
}

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

// The area after RunRoundTrip() over RoundTripSeed().
inline std::vector<Value> RoundTripResult() {
    std::vector<Value> all = RoundTripSeed();
    for (Value& v : all) {
        // Another type, no bytes, or no record: not loaded, not written back.
        for (const char16_t* name : {u"Options", u"MessageInterval", u"HideUPSPane",
                                     u"ServiceProviderDLL", u"BatteryLife"}) {
            if (v.name == name) v = Value{v.key, v.name, platform::REG_BINARY, Bytes{0x55}};
        }
    }
    return ups_area::Join(
        all, {DwValue(u"Config", u"NotifyEnable", 1), SzValue(u"Config", u"Vendor", u"Generic"),
              SzValue(u"Config", u"TaskName", u"Shutdown"),
              SzValue(u"Status", u"SerialNumber", u""), DwValue(u"Status", u"BatteryStatus", 0)});
}

}  // namespace ups_expected

#endif
