// Typed in-memory tables of the UPS service's registry values.
//
// Each record names one registry value under HKEY_LOCAL_MACHINE and holds a
// copy of its data with a changed flag. A table is loaded, changed through
// the accessors, saved and freed. Invariant after every operation: data is
// null exactly when size is 0.
#ifndef QELN_UPSPRIME_UPSPRIME_H
#define QELN_UPSPRIME_UPSPRIME_H

#include "platform/platform.h"

struct RegistryField {
    platform::HKEY root;                // always HKEY_LOCAL_MACHINE
    const platform::WCHAR* key_path;    // the key that holds the value
    const platform::WCHAR* value_name;  // the value's name
    platform::DWORD value_type;         // REG_SZ or REG_DWORD
    platform::BYTE* data;               // heap buffer owned by the record, or null
    platform::DWORD data_size;          // bytes; 0 when there is no data
    platform::DWORD changed;            // 1 when set since the last load or save
};

// The keys that hold the values, relative to HKEY_LOCAL_MACHINE.
inline constexpr platform::WCHAR kUpsKey[] = u"SYSTEM\\CurrentControlSet\\Services\\UPS";
inline constexpr platform::WCHAR kConfigKey[] = u"SYSTEM\\CurrentControlSet\\Services\\UPS\\Config";
inline constexpr platform::WCHAR kStatusKey[] = u"SYSTEM\\CurrentControlSet\\Services\\UPS\\Status";

// Null-terminated lists of the records, in load and save order.
extern RegistryField* ConfigFieldTable[21];  // 20 records
extern RegistryField* StatusFieldTable[8];   // 7 records

// Result codes of the accessors.
constexpr platform::DWORD FIELD_OK = 0;
constexpr platform::DWORD FIELD_INVALID_PARAMETER = 87;
constexpr platform::DWORD FIELD_OUT_OF_MEMORY = 0x8007000E;
constexpr platform::DWORD FIELD_NO_VALUE = 0x80040153;

void LoadFields(RegistryField** table, platform::DWORD only_changed);
void SaveFields(RegistryField** table, platform::DWORD force);
void FreeFields(RegistryField** table);
platform::DWORD SetDwordField(RegistryField* record, platform::DWORD value);
platform::DWORD SetStringField(RegistryField* record, const platform::WCHAR* text);
platform::DWORD GetDwordField(RegistryField* record, platform::DWORD* value);

// One accessor per record the priming touches; each acts on exactly its record.
platform::DWORD GetOptions(platform::DWORD* value);
platform::DWORD GetUpgrade(platform::DWORD* value);
platform::DWORD SetVendor(const platform::WCHAR* text);
platform::DWORD SetModel(const platform::WCHAR* text);
platform::DWORD SetPort(const platform::WCHAR* text);
platform::DWORD SetServiceProviderDll(const platform::WCHAR* text);
platform::DWORD SetTaskName(const platform::WCHAR* text);
platform::DWORD SetSerialNumber(const platform::WCHAR* text);
platform::DWORD SetFirmwareRev(const platform::WCHAR* text);
platform::DWORD SetOptions(platform::DWORD value);
platform::DWORD SetNotifyEnable(platform::DWORD value);
platform::DWORD SetFirstMessageDelay(platform::DWORD value);
platform::DWORD SetMessageInterval(platform::DWORD value);
platform::DWORD SetShutdownOnBatteryEnable(platform::DWORD value);
platform::DWORD SetShutdownOnBatteryWait(platform::DWORD value);
platform::DWORD SetRunTaskEnable(platform::DWORD value);
platform::DWORD SetTurnUpsOffEnable(platform::DWORD value);
platform::DWORD SetCustomOptions(platform::DWORD value);
platform::DWORD SetUpgrade(platform::DWORD value);
platform::DWORD SetCriticalPowerAction(platform::DWORD value);
platform::DWORD SetTurnUpsOffWait(platform::DWORD value);
platform::DWORD SetHideUpsPane(platform::DWORD value);
platform::DWORD SetUtilityPowerStatus(platform::DWORD value);
platform::DWORD SetTotalUpsRuntime(platform::DWORD value);
platform::DWORD SetBatteryStatus(platform::DWORD value);

#endif
