// First-start preparation of the UPS service's registry area.
#include "upsprime/prime.h"

#include "platform/owned.h"
#include "upsprime/upsprime.h"

using platform::BYTE;
using platform::DWORD;
using platform::HKEY_LOCAL_MACHINE;
using platform::KeyOwner;
using platform::WCHAR;

namespace {

const WCHAR kBatteryLife[] = u"BatteryLife";

#define QELN_PROVIDERS u"SYSTEM\\CurrentControlSet\\Services\\UPS\\ServiceProviders\\"
const WCHAR kNoneProviderKey[] = QELN_PROVIDERS u"(None)";
const WCHAR kGenericProviderKey[] = QELN_PROVIDERS u"Generic";
const WCHAR kVantrellProviderKey[] = QELN_PROVIDERS u"Vantrell";
#undef QELN_PROVIDERS

// Creates `path` (and every missing key above it) or opens it for writing.
// Returns the registry's result; `disposition` may be null.
platform::LONG CreateKey(const WCHAR* path, KeyOwner* key, DWORD* disposition) {
    DWORD ignored = 0;
    return platform::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr,
                                     platform::REG_OPTION_NON_VOLATILE, platform::KEY_SET_VALUE,
                                     nullptr, key->put(),
                                     disposition != nullptr ? disposition : &ignored);
}

// Creates the key or opens it and closes it again; true when that worked.
bool EnsureKey(const WCHAR* path) {
    KeyOwner key;
    return CreateKey(path, &key, nullptr) == platform::ERROR_SUCCESS;
}

// Moves an older "BatteryLife" under the UPS key over into the shutdown wait
// and enables the shutdown on battery; the old value is deleted. A value
// stored with fewer than 4 bytes is taken zero-extended; one stored with no
// bytes holds no number and is left alone (taking it as 0 would shut the
// machine down the moment it goes on battery).
void TakeOverBatteryLife() {
    KeyOwner ups;
    if (platform::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUpsKey, 0, platform::KEY_ALL_ACCESS,
                                ups.put()) != platform::ERROR_SUCCESS) {
        return;
    }
    BYTE place[4] = {0, 0, 0, 0};
    DWORD type = platform::REG_NONE;
    DWORD size = sizeof(place);
    if (platform::RegQueryValueExW(ups.get(), kBatteryLife, nullptr, &type, place, &size) !=
            platform::ERROR_SUCCESS ||
        type != platform::REG_DWORD || size == 0) {
        return;
    }
    const DWORD minutes = static_cast<DWORD>(place[0]) | static_cast<DWORD>(place[1]) << 8 |
                          static_cast<DWORD>(place[2]) << 16 | static_cast<DWORD>(place[3]) << 24;
    SetShutdownOnBatteryWait(minutes);
    SetShutdownOnBatteryEnable(1);
    platform::RegDeleteValueW(ups.get(), kBatteryLife);
}

}  // namespace

const ServiceProviderEntry ServiceProviderTable[12] = {
    {kNoneProviderKey, u"", u"0x7e;"},
    {kGenericProviderKey, u"Custom", u"0x7f;"},
    {kVantrellProviderKey, u"Dovrin", u"0x7F;"},
    {kVantrellProviderKey, u"Dovrin Max", u"0x1;vtlups.dll"},
    {kVantrellProviderKey, u"Simple Port on Interface Card", u"0x7F;"},
    {kVantrellProviderKey, u"Simple signaling to any VTL unit", u"0x7F;"},
    {kVantrellProviderKey, u"Tessal", u"0x1;vtlups.dll"},
    {kVantrellProviderKey, u"Corvik", u"0x1;vtlups.dll"},
    {kVantrellProviderKey, u"Halvane", u"0x1;vtlups.dll"},
    {kVantrellProviderKey, u"Full signaling to any VTL unit", u"0x1;vtlups.dll"},
    {kVantrellProviderKey, u"Quarn Rack", u"0x1;vtlups.dll"},
    {nullptr, nullptr, nullptr},
};

int IsUpsConfigPresent() {
    KeyOwner key;
    return platform::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kConfigKey, 0, platform::KEY_QUERY_VALUE,
                                   key.put()) == platform::ERROR_SUCCESS
               ? 1
               : 0;
}

void DetectUpgrade() {
    DWORD disposition = 0;
    {
        KeyOwner config;
        if (CreateKey(kConfigKey, &config, &disposition) != platform::ERROR_SUCCESS) return;
    }
    DWORD upgrade = 0;
    if (disposition != platform::REG_OPENED_EXISTING_KEY) {
        // A new Config key: an older configuration may sit under the UPS key.
        LoadFields(ConfigFieldTable, 0);
        DWORD options = 0;
        if (GetOptions(&options) == FIELD_OK && (options & 0x1) != 0) upgrade = 1;
    }
    SetUpgrade(upgrade);
    SaveFields(ConfigFieldTable, 1);
    FreeFields(ConfigFieldTable);
}

void WriteServiceProviders() {
    for (const ServiceProviderEntry* row = ServiceProviderTable; row->value_name != nullptr;
         ++row) {
        KeyOwner key;
        if (CreateKey(row->key_path, &key, nullptr) != platform::ERROR_SUCCESS) continue;
        const DWORD bytes =
            static_cast<DWORD>((platform::WideLength(row->data) + 1) * sizeof(WCHAR));
        platform::RegSetValueExW(key.get(), row->value_name, 0, platform::REG_SZ,
                                 reinterpret_cast<const BYTE*>(row->data), bytes);
    }
}

void WriteDefaultConfig() {
    if (!EnsureKey(kConfigKey)) return;
    LoadFields(ConfigFieldTable, 0);

    SetServiceProviderDll(u"");
    SetNotifyEnable(1);
    SetShutdownOnBatteryEnable(0);
    SetShutdownOnBatteryWait(2);
    SetRunTaskEnable(0);
    SetTaskName(u"UPS System Shutdown Program");
    SetTurnUpsOffEnable(1);
    SetCustomOptions(0x7F);
    SetCriticalPowerAction(0);
    SetTurnUpsOffWait(180);
    SetHideUpsPane(0);

    DWORD upgrade = 0;
    if (GetUpgrade(&upgrade) == FIELD_OK && upgrade != 0) {
        SetVendor(u"Generic");
        SetModel(u"Custom");
        DWORD options = 0;
        SetRunTaskEnable(GetOptions(&options) == FIELD_OK && (options & 0x80) != 0 ? 1 : 0);
        TakeOverBatteryLife();
    } else {
        SetVendor(u"(NONE)");
        SetModel(u"");
        SetPort(u"COM1");
        SetOptions(0x7E);
        SetFirstMessageDelay(5);
        SetMessageInterval(120);
    }

    SaveFields(ConfigFieldTable, 1);
    FreeFields(ConfigFieldTable);
}

void WriteDefaultStatus() {
    if (!EnsureKey(kStatusKey)) return;
    LoadFields(StatusFieldTable, 0);
    SetSerialNumber(u"");
    SetFirmwareRev(u"");
    SetUtilityPowerStatus(0);
    SetTotalUpsRuntime(0);
    SetBatteryStatus(0);
    SaveFields(StatusFieldTable, 1);
    FreeFields(StatusFieldTable);
}

void PrimeUpsRegistry() {
    if (IsUpsConfigPresent() == 1) return;
    DetectUpgrade();
    WriteServiceProviders();
    WriteDefaultConfig();
    WriteDefaultStatus();
}
