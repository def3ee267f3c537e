// The UPS service's configuration and status values as typed field records.
#include "upsprime/upsprime.h"

#include "platform/owned.h"

using platform::BYTE;
using platform::DWORD;
using platform::HKEY_LOCAL_MACHINE;
using platform::KeyOwner;
using platform::REG_DWORD;
using platform::REG_SZ;
using platform::WCHAR;

namespace {

// The largest value the registry interface can describe, in bytes.
constexpr std::size_t kMaxValueBytes = 0xFFFFFFFFu;

// Drops the record's data; the changed flag is left alone.
void ReleaseData(RegistryField* record) {
    platform::HeapRelease(record->data);
    record->data = nullptr;
    record->data_size = 0;
}

// Two bytes past the data of every buffer, never part of the value. Handed a
// string without its terminator, RegSetValueExW looks at the character just
// past the stated size and, when that reads as a terminator, stores one more
// character than it was given. The guard keeps that look inside the buffer
// and non-zero, so a value loaded without a terminator is written back with
// exactly the bytes it had.
constexpr std::size_t kGuardBytes = 2;
constexpr BYTE kGuardByte = 0xFF;

// Releases the old data and gives the record a fresh, uninitialised buffer
// of `bytes` (plus the guard). False (record empty) when the buffer cannot be
// had.
bool ReplaceData(RegistryField* record, std::size_t bytes) {
    ReleaseData(record);
    if (bytes == 0 || bytes > kMaxValueBytes - kGuardBytes) return false;
    BYTE* buffer = static_cast<BYTE*>(platform::HeapAllocate(bytes + kGuardBytes));
    if (buffer == nullptr) return false;
    for (std::size_t i = 0; i < kGuardBytes; ++i)
        buffer[bytes + i] = kGuardByte;
    record->data = buffer;
    record->data_size = static_cast<DWORD>(bytes);
    return true;
}

// Loads one record from the registry; it stays empty when its key cannot be
// opened or its value is absent, of another type, of zero length or cannot
// be read whole.
void LoadRecord(RegistryField* record) {
    KeyOwner key;
    if (platform::RegOpenKeyExW(record->root, record->key_path, 0, platform::KEY_QUERY_VALUE,
                                key.put()) != platform::ERROR_SUCCESS) {
        return;
    }
    DWORD type = platform::REG_NONE;
    DWORD size = 0;
    if (platform::RegQueryValueExW(key.get(), record->value_name, nullptr, &type, nullptr, &size) !=
            platform::ERROR_SUCCESS ||
        size == 0 || type != record->value_type) {
        return;
    }
    if (!ReplaceData(record, size)) return;
    DWORD read_type = platform::REG_NONE;
    DWORD read_size = size;
    if (platform::RegQueryValueExW(key.get(), record->value_name, nullptr, &read_type, record->data,
                                   &read_size) != platform::ERROR_SUCCESS ||
        read_type != record->value_type || read_size == 0 || read_size > size) {
        ReleaseData(record);
        return;
    }
    // The value may have shrunk between the two queries: keep only what was
    // read, with the guard right behind it.
    record->data_size = read_size;
    for (std::size_t i = 0; i < kGuardBytes; ++i)
        record->data[read_size + i] = kGuardByte;
}

// Writes one record's data to its key, which must already exist.
void SaveRecord(const RegistryField* record) {
    KeyOwner key;
    if (platform::RegOpenKeyExW(record->root, record->key_path, 0, platform::KEY_SET_VALUE,
                                key.put()) != platform::ERROR_SUCCESS) {
        return;
    }
    platform::RegSetValueExW(key.get(), record->value_name, 0, record->value_type, record->data,
                             record->data_size);
}

#define QELN_FIELD(name, key, value, type) \
    RegistryField name = {HKEY_LOCAL_MACHINE, key, value, type, nullptr, 0, 0}

QELN_FIELD(VendorField, kConfigKey, u"Vendor", REG_SZ);
QELN_FIELD(ModelField, kConfigKey, u"Model", REG_SZ);
QELN_FIELD(PortField, kUpsKey, u"Port", REG_SZ);
QELN_FIELD(OptionsField, kUpsKey, u"Options", REG_DWORD);
QELN_FIELD(ServiceProviderDllField, kConfigKey, u"ServiceProviderDLL", REG_SZ);
QELN_FIELD(NotifyEnableField, kConfigKey, u"NotifyEnable", REG_DWORD);
QELN_FIELD(FirstMessageDelayField, kUpsKey, u"FirstMessageDelay", REG_DWORD);
QELN_FIELD(MessageIntervalField, kUpsKey, u"MessageInterval", REG_DWORD);
QELN_FIELD(ShutdownOnBatteryEnableField, kConfigKey, u"ShutdownOnBatteryEnable", REG_DWORD);
QELN_FIELD(ShutdownOnBatteryWaitField, kConfigKey, u"ShutdownOnBatteryWait", REG_DWORD);
QELN_FIELD(RunTaskEnableField, kConfigKey, u"RunTaskEnable", REG_DWORD);
QELN_FIELD(TaskNameField, kConfigKey, u"TaskName", REG_SZ);
QELN_FIELD(TurnUpsOffEnableField, kConfigKey, u"TurnUPSOffEnable", REG_DWORD);
QELN_FIELD(CustomOptionsField, kConfigKey, u"CustomOptions", REG_DWORD);
QELN_FIELD(VtlLinkUrlField, kConfigKey, u"VTLLinkURL", REG_SZ);
QELN_FIELD(ShutdownWaitField, kUpsKey, u"ShutdownWait", REG_DWORD);
QELN_FIELD(UpgradeField, kConfigKey, u"Upgrade", REG_DWORD);
QELN_FIELD(CriticalPowerActionField, kConfigKey, u"CriticalPowerAction", REG_DWORD);
QELN_FIELD(TurnUpsOffWaitField, kConfigKey, u"TurnUPSOffWait", REG_DWORD);
QELN_FIELD(HideUpsPaneField, kUpsKey, u"HideUPSPane", REG_DWORD);

QELN_FIELD(SerialNumberField, kStatusKey, u"SerialNumber", REG_SZ);
QELN_FIELD(FirmwareRevField, kStatusKey, u"FirmwareRev", REG_SZ);
QELN_FIELD(UtilityPowerStatusField, kStatusKey, u"UtilityPowerStatus", REG_DWORD);
QELN_FIELD(TotalUpsRuntimeField, kStatusKey, u"TotalUPSRuntime", REG_DWORD);
QELN_FIELD(BatteryStatusField, kStatusKey, u"BatteryStatus", REG_DWORD);
QELN_FIELD(CommStatusField, kStatusKey, u"CommStatus", REG_DWORD);
QELN_FIELD(BatteryCapacityField, kStatusKey, u"BatteryCapacity", REG_DWORD);

#undef QELN_FIELD

}  // namespace

RegistryField* ConfigFieldTable[21] = {
    &VendorField,
    &ModelField,
    &PortField,
    &OptionsField,
    &ServiceProviderDllField,
    &NotifyEnableField,
    &FirstMessageDelayField,
    &MessageIntervalField,
    &ShutdownOnBatteryEnableField,
    &ShutdownOnBatteryWaitField,
    &RunTaskEnableField,
    &TaskNameField,
    &TurnUpsOffEnableField,
    &CustomOptionsField,
    &VtlLinkUrlField,
    &ShutdownWaitField,
    &UpgradeField,
    &CriticalPowerActionField,
    &TurnUpsOffWaitField,
    &HideUpsPaneField,
    nullptr,
};

RegistryField* StatusFieldTable[8] = {
    &SerialNumberField,  &FirmwareRevField, &UtilityPowerStatusField, &TotalUpsRuntimeField,
    &BatteryStatusField, &CommStatusField,  &BatteryCapacityField,    nullptr,
};

void LoadFields(RegistryField** table, DWORD only_changed) {
    if (table == nullptr) return;
    for (RegistryField** at = table; *at != nullptr; ++at) {
        RegistryField* record = *at;
        if (only_changed != 0 && record->changed != 1) continue;
        ReleaseData(record);
        record->changed = 0;
        LoadRecord(record);
    }
}

void SaveFields(RegistryField** table, DWORD force) {
    if (table == nullptr) return;
    for (RegistryField** at = table; *at != nullptr; ++at) {
        RegistryField* record = *at;
        if (record->data == nullptr || record->data_size == 0) continue;
        if (force != 1 && record->changed != 1) continue;
        SaveRecord(record);
        record->changed = 0;
    }
}

void FreeFields(RegistryField** table) {
    if (table == nullptr) return;
    for (RegistryField** at = table; *at != nullptr; ++at) {
        ReleaseData(*at);
        (*at)->changed = 0;
    }
}

DWORD SetDwordField(RegistryField* record, DWORD value) {
    if (record == nullptr) return FIELD_INVALID_PARAMETER;
    if (!ReplaceData(record, 4)) return FIELD_OUT_OF_MEMORY;
    for (int i = 0; i < 4; ++i)
        record->data[i] = static_cast<BYTE>(value >> (8 * i));
    record->changed = 1;
    return FIELD_OK;
}

DWORD SetStringField(RegistryField* record, const WCHAR* text) {
    if (record == nullptr || text == nullptr) return FIELD_INVALID_PARAMETER;
    const std::size_t characters = platform::WideLength(text) + 1;
    const std::size_t bytes = characters * sizeof(WCHAR);
    if (!ReplaceData(record, bytes)) return FIELD_OUT_OF_MEMORY;
    for (std::size_t i = 0; i < characters; ++i) {
        record->data[2 * i] = static_cast<BYTE>(text[i] & 0xFF);
        record->data[2 * i + 1] = static_cast<BYTE>(text[i] >> 8);
    }
    record->changed = 1;
    return FIELD_OK;
}

// A value held with fewer than 4 bytes answers zero-extended; nothing past
// the held bytes is read.
DWORD GetDwordField(RegistryField* record, DWORD* value) {
    if (record == nullptr || value == nullptr) return FIELD_INVALID_PARAMETER;
    if (record->data == nullptr || record->data_size == 0) return FIELD_NO_VALUE;
    const DWORD held = record->data_size < 4 ? record->data_size : 4;
    DWORD result = 0;
    for (DWORD i = 0; i < held; ++i)
        result |= static_cast<DWORD>(record->data[i]) << (8 * i);
    *value = result;
    return FIELD_OK;
}

DWORD GetOptions(DWORD* value) {
    return GetDwordField(&OptionsField, value);
}
DWORD GetUpgrade(DWORD* value) {
    return GetDwordField(&UpgradeField, value);
}
DWORD SetVendor(const WCHAR* text) {
    return SetStringField(&VendorField, text);
}
DWORD SetModel(const WCHAR* text) {
    return SetStringField(&ModelField, text);
}
DWORD SetPort(const WCHAR* text) {
    return SetStringField(&PortField, text);
}
DWORD SetServiceProviderDll(const WCHAR* text) {
    return SetStringField(&ServiceProviderDllField, text);
}
DWORD SetTaskName(const WCHAR* text) {
    return SetStringField(&TaskNameField, text);
}
DWORD SetSerialNumber(const WCHAR* text) {
    return SetStringField(&SerialNumberField, text);
}
DWORD SetFirmwareRev(const WCHAR* text) {
    return SetStringField(&FirmwareRevField, text);
}
DWORD SetOptions(DWORD value) {
    return SetDwordField(&OptionsField, value);
}
DWORD SetNotifyEnable(DWORD value) {
    return SetDwordField(&NotifyEnableField, value);
}
DWORD SetFirstMessageDelay(DWORD value) {
    return SetDwordField(&FirstMessageDelayField, value);
}
DWORD SetMessageInterval(DWORD value) {
    return SetDwordField(&MessageIntervalField, value);
}
DWORD SetShutdownOnBatteryEnable(DWORD value) {
    return SetDwordField(&ShutdownOnBatteryEnableField, value);
}
DWORD SetShutdownOnBatteryWait(DWORD value) {
    return SetDwordField(&ShutdownOnBatteryWaitField, value);
}
DWORD SetRunTaskEnable(DWORD value) {
    return SetDwordField(&RunTaskEnableField, value);
}
DWORD SetTurnUpsOffEnable(DWORD value) {
    return SetDwordField(&TurnUpsOffEnableField, value);
}
DWORD SetCustomOptions(DWORD value) {
    return SetDwordField(&CustomOptionsField, value);
}
DWORD SetUpgrade(DWORD value) {
    return SetDwordField(&UpgradeField, value);
}
DWORD SetCriticalPowerAction(DWORD value) {
    return SetDwordField(&CriticalPowerActionField, value);
}
DWORD SetTurnUpsOffWait(DWORD value) {
    return SetDwordField(&TurnUpsOffWaitField, value);
}
DWORD SetHideUpsPane(DWORD value) {
    return SetDwordField(&HideUpsPaneField, value);
}
DWORD SetUtilityPowerStatus(DWORD value) {
    return SetDwordField(&UtilityPowerStatusField, value);
}
DWORD SetTotalUpsRuntime(DWORD value) {
    return SetDwordField(&TotalUpsRuntimeField, value);
}
DWORD SetBatteryStatus(DWORD value) {
    return SetDwordField(&BatteryStatusField, value);
}
