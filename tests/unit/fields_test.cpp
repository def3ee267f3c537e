// The registry field tables on the simulated registry.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/sim/sim.h"
#include "tests/contract/ups_area.h"
#include "tests/contract/ups_expected.h"
#include "upsprime/upsprime.h"

namespace {

using platform::DWORD;
using ups_area::Bytes;

const std::u16string kUps = u"SYSTEM\\CurrentControlSet\\Services\\UPS";
const std::u16string kConfig = kUps + u"\\Config";
const std::u16string kStatus = kUps + u"\\Status";

RegistryField* Find(RegistryField** table, const std::u16string& name) {
    for (RegistryField** at = table; *at != nullptr; ++at) {
        if (name == (*at)->value_name) return *at;
    }
    ADD_FAILURE() << "no record " << sim::U8(name);
    return nullptr;
}

Bytes DataOf(const RegistryField* record) {
    if (record->data == nullptr) return Bytes();
    return Bytes(record->data, record->data + record->data_size);
}

// A marker no test stores, standing for an absent value.
const Bytes kAbsent{0xEE, 0xEE, 0xEE};

Bytes Stored(const std::u16string& path, const std::u16string& name, DWORD* type = nullptr) {
    sim::RegValue value;
    if (!sim::RegGet(path, name, &value)) return kAbsent;
    if (type != nullptr) *type = value.type;
    return value.bytes;
}

// Every record: data none exactly when size is 0.
void ExpectInvariant(RegistryField** table) {
    for (RegistryField** at = table; *at != nullptr; ++at) {
        const RegistryField* r = *at;
        EXPECT_EQ(r->data == nullptr, r->data_size == 0) << sim::U8(r->value_name);
    }
}

class FieldsTest : public ::testing::Test {
protected:
    void SetUp() override { sim::Reset(); }
    void TearDown() override {
        FreeFields(ConfigFieldTable);
        FreeFields(StatusFieldTable);
        EXPECT_EQ(sim::LiveAllocations(), 0u);
        EXPECT_EQ(sim::OpenKeyCount(), 0u);
    }
};

struct Layout {
    const char16_t* key;
    const char16_t* name;
    DWORD type;
};

TEST_F(FieldsTest, TablesHoldTheRecordsInOrderWithKeysNamesAndTypes) {
    const std::u16string u = kUps, c = kConfig, s = kStatus;
    const DWORD sz = platform::REG_SZ, dw = platform::REG_DWORD;
    const std::vector<Layout> config = {
        {c.c_str(), u"Vendor", sz},
        {c.c_str(), u"Model", sz},
        {u.c_str(), u"Port", sz},
        {u.c_str(), u"Options", dw},
        {c.c_str(), u"ServiceProviderDLL", sz},
        {c.c_str(), u"NotifyEnable", dw},
        {u.c_str(), u"FirstMessageDelay", dw},
        {u.c_str(), u"MessageInterval", dw},
        {c.c_str(), u"ShutdownOnBatteryEnable", dw},
        {c.c_str(), u"ShutdownOnBatteryWait", dw},
        {c.c_str(), u"RunTaskEnable", dw},
        {c.c_str(), u"TaskName", sz},
        {c.c_str(), u"TurnUPSOffEnable", dw},
        {c.c_str(), u"CustomOptions", dw},
        {c.c_str(), u"VTLLinkURL", sz},
        {u.c_str(), u"ShutdownWait", dw},
        {c.c_str(), u"Upgrade", dw},
        {c.c_str(), u"CriticalPowerAction", dw},
        {c.c_str(), u"TurnUPSOffWait", dw},
        {u.c_str(), u"HideUPSPane", dw},
    };
    const std::vector<Layout> status = {
        {s.c_str(), u"SerialNumber", sz},       {s.c_str(), u"FirmwareRev", sz},
        {s.c_str(), u"UtilityPowerStatus", dw}, {s.c_str(), u"TotalUPSRuntime", dw},
        {s.c_str(), u"BatteryStatus", dw},      {s.c_str(), u"CommStatus", dw},
        {s.c_str(), u"BatteryCapacity", dw},
    };
    const std::pair<RegistryField**, const std::vector<Layout>*> tables[] = {
        {ConfigFieldTable, &config}, {StatusFieldTable, &status}};
    for (const auto& t : tables) {
        const std::vector<Layout>& want = *t.second;
        for (std::size_t i = 0; i < want.size(); ++i) {
            const RegistryField* r = t.first[i];
            ASSERT_NE(r, nullptr) << "entry " << i;
            EXPECT_EQ(r->root, platform::HKEY_LOCAL_MACHINE) << i;
            EXPECT_EQ(std::u16string(r->key_path), want[i].key) << i;
            EXPECT_EQ(std::u16string(r->value_name), want[i].name) << i;
            EXPECT_EQ(r->value_type, want[i].type) << sim::U8(want[i].name);
            EXPECT_EQ(r->data, nullptr);
            EXPECT_EQ(r->data_size, 0u);
            EXPECT_EQ(r->changed, 0u);
        }
        EXPECT_EQ(t.first[want.size()], nullptr);
    }
}

// Each accessor acts on exactly its record: a setter changes that record alone.
TEST_F(FieldsTest, EachAccessorActsOnItsOwnRecord) {
    struct Setter {
        const char16_t* name;
        DWORD (*dword)(DWORD);
        DWORD (*text)(const platform::WCHAR*);
    };
    const Setter setters[] = {
        {u"Vendor", nullptr, SetVendor},
        {u"Model", nullptr, SetModel},
        {u"Port", nullptr, SetPort},
        {u"ServiceProviderDLL", nullptr, SetServiceProviderDll},
        {u"TaskName", nullptr, SetTaskName},
        {u"SerialNumber", nullptr, SetSerialNumber},
        {u"FirmwareRev", nullptr, SetFirmwareRev},
        {u"Options", SetOptions, nullptr},
        {u"NotifyEnable", SetNotifyEnable, nullptr},
        {u"FirstMessageDelay", SetFirstMessageDelay, nullptr},
        {u"MessageInterval", SetMessageInterval, nullptr},
        {u"ShutdownOnBatteryEnable", SetShutdownOnBatteryEnable, nullptr},
        {u"ShutdownOnBatteryWait", SetShutdownOnBatteryWait, nullptr},
        {u"RunTaskEnable", SetRunTaskEnable, nullptr},
        {u"TurnUPSOffEnable", SetTurnUpsOffEnable, nullptr},
        {u"CustomOptions", SetCustomOptions, nullptr},
        {u"Upgrade", SetUpgrade, nullptr},
        {u"CriticalPowerAction", SetCriticalPowerAction, nullptr},
        {u"TurnUPSOffWait", SetTurnUpsOffWait, nullptr},
        {u"HideUPSPane", SetHideUpsPane, nullptr},
        {u"UtilityPowerStatus", SetUtilityPowerStatus, nullptr},
        {u"TotalUPSRuntime", SetTotalUpsRuntime, nullptr},
        {u"BatteryStatus", SetBatteryStatus, nullptr},
    };
    for (const Setter& s : setters) {
        SCOPED_TRACE(sim::U8(s.name));
        const DWORD result = s.dword != nullptr ? s.dword(0x01020304) : s.text(u"ab");
        EXPECT_EQ(result, FIELD_OK);
        const Bytes want = s.dword != nullptr ? Bytes{4, 3, 2, 1} : ups_area::Sz(u"ab");
        for (RegistryField** table : {ConfigFieldTable, StatusFieldTable}) {
            for (RegistryField** at = table; *at != nullptr; ++at) {
                const bool mine = s.name == std::u16string((*at)->value_name);
                EXPECT_EQ(DataOf(*at), mine ? want : Bytes()) << sim::U8((*at)->value_name);
                EXPECT_EQ((*at)->changed, mine ? 1u : 0u) << sim::U8((*at)->value_name);
            }
        }
        FreeFields(ConfigFieldTable);
        FreeFields(StatusFieldTable);
    }
    // The two getters read "Options" and "Upgrade".
    SetDwordField(Find(ConfigFieldTable, u"Options"), 0x81);
    SetDwordField(Find(ConfigFieldTable, u"Upgrade"), 7);
    DWORD options = 0, upgrade = 0;
    EXPECT_EQ(GetOptions(&options), FIELD_OK);
    EXPECT_EQ(GetUpgrade(&upgrade), FIELD_OK);
    EXPECT_EQ(options, 0x81u);
    EXPECT_EQ(upgrade, 7u);
}

// How a stored value loads, depending on its type and size.
TEST_F(FieldsTest, LoadKeepsOnlyValuesOfTheRecordsTypeAndNonZeroSize) {
    struct Case {
        const char* what;
        std::u16string path;
        std::u16string name;
        DWORD type;
        Bytes stored;
        Bytes loaded;  // empty: the record stays empty
    };
    const Case cases[] = {
        {"dword", kUps, u"Options", platform::REG_DWORD, Bytes{0x81, 0, 0, 0},
         Bytes{0x81, 0, 0, 0}},
        {"dword as string", kUps, u"Options", platform::REG_SZ, ups_area::Sz(u"129"), Bytes()},
        {"dword as binary", kConfig, u"Upgrade", platform::REG_BINARY, Bytes{1, 0, 0, 0}, Bytes()},
        {"string as dword", kConfig, u"Vendor", platform::REG_DWORD, Bytes{1, 0, 0, 0}, Bytes()},
        {"string as expandable", kConfig, u"Vendor", platform::REG_EXPAND_SZ, ups_area::Sz(u"x"),
         Bytes()},
        {"zero-length dword", kConfig, u"NotifyEnable", platform::REG_DWORD, Bytes(), Bytes()},
        {"zero-length string", kConfig, u"Vendor", platform::REG_SZ, Bytes(), Bytes()},
        {"short dword", kUps, u"Options", platform::REG_DWORD, Bytes{0x81}, Bytes{0x81}},
        {"long dword", kConfig, u"CustomOptions", platform::REG_DWORD, Bytes{1, 2, 3, 4, 5, 6},
         Bytes{1, 2, 3, 4, 5, 6}},
        {"unterminated string", kUps, u"Port", platform::REG_SZ, Bytes{'C', 0, 'O', 0},
         Bytes{'C', 0, 'O', 0}},
        {"odd-sized string", kConfig, u"Model", platform::REG_SZ, Bytes{'A', 0, 'B'},
         Bytes{'A', 0, 'B'}},
        {"status string", kStatus, u"FirmwareRev", platform::REG_SZ, ups_area::Sz(u"1.2"),
         ups_area::Sz(u"1.2")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Reset();
        sim::RegSetRaw(c.path, c.name, c.type, c.stored);
        RegistryField** table = c.path == kStatus ? StatusFieldTable : ConfigFieldTable;
        RegistryField* record = Find(table, c.name);
        LoadFields(table, 0);
        ExpectInvariant(table);
        EXPECT_EQ(DataOf(record), c.loaded);
        EXPECT_EQ(record->changed, 0u);

        // A forced save writes a loaded value back exactly and leaves one that
        // did not load as it was: change the stored value behind the table.
        sim::RegSetRaw(c.path, c.name, platform::REG_BINARY, Bytes{0x55});
        SaveFields(table, 1);
        DWORD type = 0;
        const Bytes after = Stored(c.path, c.name, &type);
        if (c.loaded.empty()) {
            EXPECT_EQ(after, Bytes{0x55});
            EXPECT_EQ(type, platform::REG_BINARY);
        } else {
            EXPECT_EQ(after, c.loaded);
            EXPECT_EQ(type, c.type);
        }
        FreeFields(table);
        ExpectInvariant(table);
        EXPECT_EQ(sim::LiveAllocations(), 0u);
    }
}

TEST_F(FieldsTest, GetDwordAnswersShortValuesZeroExtendedAndLeavesOutputOnFailure) {
    struct Case {
        Bytes stored;
        DWORD result;
        DWORD value;
    };
    const Case cases[] = {
        {Bytes{0x81}, FIELD_OK, 0x81},
        {Bytes{0x34, 0x12}, FIELD_OK, 0x1234},
        {Bytes{0x56, 0x34, 0x12}, FIELD_OK, 0x123456},
        {Bytes{0x78, 0x56, 0x34, 0x12}, FIELD_OK, 0x12345678},
        {Bytes{0x78, 0x56, 0x34, 0x12, 0x9A}, FIELD_OK, 0x12345678},
        {Bytes(), FIELD_NO_VALUE, 0xDEADBEEF},
    };
    RegistryField* options = Find(ConfigFieldTable, u"Options");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored.size());
        sim::RegSetRaw(kUps, u"Options", platform::REG_DWORD, c.stored);
        LoadFields(ConfigFieldTable, 0);
        DWORD value = 0xDEADBEEF;
        EXPECT_EQ(GetDwordField(options, &value), c.result);
        EXPECT_EQ(value, c.value);
        value = 0xDEADBEEF;
        EXPECT_EQ(GetOptions(&value), c.result);
        EXPECT_EQ(value, c.value);
        FreeFields(ConfigFieldTable);
    }
    // Never loaded, and freed: no value.
    DWORD value = 0xDEADBEEF;
    EXPECT_EQ(GetDwordField(options, &value), FIELD_NO_VALUE);
    EXPECT_EQ(value, 0xDEADBEEFu);
}

TEST_F(FieldsTest, MissingArgumentsAnswer87AndChangeNothing) {
    RegistryField* vendor = Find(ConfigFieldTable, u"Vendor");
    RegistryField* options = Find(ConfigFieldTable, u"Options");
    ASSERT_EQ(SetStringField(vendor, u"kept"), FIELD_OK);
    ASSERT_EQ(SetDwordField(options, 9), FIELD_OK);
    vendor->changed = 0;
    DWORD value = 0xDEADBEEF;
    EXPECT_EQ(SetDwordField(nullptr, 1), FIELD_INVALID_PARAMETER);
    EXPECT_EQ(SetStringField(nullptr, u"x"), FIELD_INVALID_PARAMETER);
    EXPECT_EQ(SetStringField(vendor, nullptr), FIELD_INVALID_PARAMETER);
    EXPECT_EQ(GetDwordField(nullptr, &value), FIELD_INVALID_PARAMETER);
    EXPECT_EQ(GetDwordField(options, nullptr), FIELD_INVALID_PARAMETER);
    EXPECT_EQ(value, 0xDEADBEEFu);
    EXPECT_EQ(DataOf(vendor), ups_area::Sz(u"kept"));
    EXPECT_EQ(vendor->changed, 0u);
    EXPECT_EQ(DataOf(options), ups_area::Dw(9));
    // Null tables are ignored.
    LoadFields(nullptr, 0);
    SaveFields(nullptr, 1);
    FreeFields(nullptr);
}

TEST_F(FieldsTest, SettersStoreTheirBytesAndAnEmptyTextAsTwoBytes) {
    RegistryField* model = Find(ConfigFieldTable, u"Model");
    RegistryField* wait = Find(ConfigFieldTable, u"TurnUPSOffWait");
    EXPECT_EQ(SetStringField(model, u""), FIELD_OK);
    EXPECT_EQ(DataOf(model), (Bytes{0, 0}));
    EXPECT_EQ(SetStringField(model, u"Custom"), FIELD_OK);
    EXPECT_EQ(DataOf(model), ups_area::Sz(u"Custom"));
    EXPECT_EQ(SetStringField(model, u"\u20ac"), FIELD_OK);
    EXPECT_EQ(DataOf(model), (Bytes{0xAC, 0x20, 0, 0}));
    EXPECT_EQ(SetDwordField(wait, 180), FIELD_OK);
    EXPECT_EQ(DataOf(wait), (Bytes{180, 0, 0, 0}));

    sim::RegSetString(kConfig, u"Other", u"x");  // the key exists
    SaveFields(ConfigFieldTable, 1);
    DWORD type = 0;
    EXPECT_EQ(Stored(kConfig, u"Model", &type), (Bytes{0xAC, 0x20, 0, 0}));
    EXPECT_EQ(type, platform::REG_SZ);
    EXPECT_EQ(Stored(kConfig, u"TurnUPSOffWait", &type), ups_area::Dw(180));
    EXPECT_EQ(type, platform::REG_DWORD);
}

TEST_F(FieldsTest, SetterOutOfMemoryLosesTheOldDataAndKeepsTheFlag) {
    RegistryField* vendor = Find(ConfigFieldTable, u"Vendor");
    RegistryField* notify = Find(ConfigFieldTable, u"NotifyEnable");
    sim::RegSetString(kConfig, u"Vendor", u"Old");
    sim::RegSetDword(kConfig, u"NotifyEnable", 1);
    for (DWORD flag : {0u, 1u}) {
        SCOPED_TRACE(flag);
        LoadFields(ConfigFieldTable, 0);
        if (flag == 1) {
            ASSERT_EQ(SetStringField(vendor, u"New"), FIELD_OK);
            ASSERT_EQ(SetDwordField(notify, 0), FIELD_OK);
        }
        sim::FailNth(sim::Op::HeapAllocate, 1);
        EXPECT_EQ(SetStringField(vendor, u"Newer"), FIELD_OUT_OF_MEMORY);
        sim::FailNth(sim::Op::HeapAllocate, 1);
        EXPECT_EQ(SetDwordField(notify, 7), FIELD_OUT_OF_MEMORY);
        EXPECT_EQ(vendor->data, nullptr);
        EXPECT_EQ(vendor->data_size, 0u);
        EXPECT_EQ(vendor->changed, flag);
        EXPECT_EQ(notify->data, nullptr);
        EXPECT_EQ(notify->changed, flag);
        ExpectInvariant(ConfigFieldTable);
        EXPECT_EQ(sim::LiveAllocations(), 0u);

        // A save skips records without data, whatever their flag, and the
        // flag survives it.
        SaveFields(ConfigFieldTable, 1);
        EXPECT_EQ(vendor->changed, flag);
        EXPECT_EQ(notify->changed, flag);
        EXPECT_EQ(Stored(kConfig, u"Vendor"), ups_area::Sz(u"Old"));
        EXPECT_EQ(Stored(kConfig, u"NotifyEnable"), ups_area::Dw(1));
        FreeFields(ConfigFieldTable);
    }
}

TEST_F(FieldsTest, SaveNeverCreatesAKeyAndClearsTheFlagAnyway) {
    // UPS exists, Config and Status do not.
    sim::RegSetDword(kUps, u"Options", 3);
    LoadFields(ConfigFieldTable, 0);
    LoadFields(StatusFieldTable, 0);
    ASSERT_EQ(SetVendor(u"Generic"), FIELD_OK);
    ASSERT_EQ(SetPort(u"COM1"), FIELD_OK);
    ASSERT_EQ(SetSerialNumber(u"S"), FIELD_OK);
    ASSERT_EQ(SetBatteryStatus(2), FIELD_OK);
    for (DWORD force : {0u, 1u}) {
        SCOPED_TRACE(force);
        SaveFields(ConfigFieldTable, force);
        SaveFields(StatusFieldTable, force);
        EXPECT_FALSE(sim::RegKeyExists(kConfig));
        EXPECT_FALSE(sim::RegKeyExists(kStatus));
        for (RegistryField** table : {ConfigFieldTable, StatusFieldTable}) {
            for (RegistryField** at = table; *at != nullptr; ++at) {
                EXPECT_EQ((*at)->changed, 0u) << sim::U8((*at)->value_name);
            }
        }
        EXPECT_EQ(Stored(kUps, u"Port"), ups_area::Sz(u"COM1"));
        EXPECT_EQ(Stored(kUps, u"Options"), ups_area::Dw(3));
        ExpectInvariant(ConfigFieldTable);
    }
}

TEST_F(FieldsTest, UnforcedSaveWritesOnlyChangedRecordsAndForceMustBeExactlyOne) {
    sim::RegSetString(kConfig, u"Vendor", u"Old");
    sim::RegSetString(kConfig, u"Model", u"M1");
    sim::RegSetDword(kUps, u"Options", 0x7E);
    for (DWORD force : {0u, 2u, 1u}) {
        SCOPED_TRACE(force);
        LoadFields(ConfigFieldTable, 0);
        ASSERT_EQ(SetModel(u"M2"), FIELD_OK);
        // Changed behind the table: only a forced save writes the loaded data back.
        sim::RegSetString(kConfig, u"Vendor", u"Behind");
        sim::RegSetDword(kUps, u"Options", 1);
        SaveFields(ConfigFieldTable, force);
        EXPECT_EQ(Stored(kConfig, u"Model"), ups_area::Sz(u"M2"));
        EXPECT_EQ(Find(ConfigFieldTable, u"Model")->changed, 0u);
        EXPECT_EQ(Stored(kConfig, u"Vendor"), ups_area::Sz(force == 1 ? u"Old" : u"Behind"));
        EXPECT_EQ(Stored(kUps, u"Options"), ups_area::Dw(force == 1 ? 0x7E : 1));
        // A second unforced save writes nothing: the flag was cleared.
        sim::RegSetString(kConfig, u"Model", u"M3");
        SaveFields(ConfigFieldTable, 0);
        EXPECT_EQ(Stored(kConfig, u"Model"), ups_area::Sz(u"M3"));
        FreeFields(ConfigFieldTable);
        sim::RegSetString(kConfig, u"Vendor", u"Old");
        sim::RegSetDword(kUps, u"Options", 0x7E);
    }
}

TEST_F(FieldsTest, ReloadOfChangedRecordsDiscardsTheirChangesOnly) {
    sim::RegSetString(kConfig, u"Vendor", u"V1");
    sim::RegSetString(kConfig, u"Model", u"M1");
    sim::RegSetDword(kConfig, u"NotifyEnable", 0);
    LoadFields(ConfigFieldTable, 0);
    RegistryField* vendor = Find(ConfigFieldTable, u"Vendor");
    RegistryField* model = Find(ConfigFieldTable, u"Model");
    RegistryField* notify = Find(ConfigFieldTable, u"NotifyEnable");
    RegistryField* hide = Find(ConfigFieldTable, u"HideUPSPane");
    ASSERT_EQ(SetVendor(u"unsaved"), FIELD_OK);
    ASSERT_EQ(SetHideUpsPane(1), FIELD_OK);  // not stored at all
    notify->changed = 2;                     // only exactly 1 counts as changed
    sim::RegSetString(kConfig, u"Vendor", u"V2");
    sim::RegSetString(kConfig, u"Model", u"M2");
    sim::RegSetDword(kConfig, u"NotifyEnable", 1);

    LoadFields(ConfigFieldTable, 1);
    ExpectInvariant(ConfigFieldTable);
    EXPECT_EQ(DataOf(vendor), ups_area::Sz(u"V2"));
    EXPECT_EQ(vendor->changed, 0u);
    EXPECT_EQ(DataOf(hide), Bytes());
    EXPECT_EQ(hide->changed, 0u);
    EXPECT_EQ(DataOf(model), ups_area::Sz(u"M1"));  // not changed: not reloaded
    EXPECT_EQ(DataOf(notify), ups_area::Dw(0));
    EXPECT_EQ(notify->changed, 2u);
}

// Registry calls failing one at a time during a load: at most one record
// loses its value (and is then empty), nothing leaks, no key stays open.
TEST_F(FieldsTest, RegistryFailuresDuringLoadLeaveOnlyThatRecordEmpty) {
    auto seed = [] {
        sim::RegSetString(kStatus, u"SerialNumber", u"SN");
        sim::RegSetString(kStatus, u"FirmwareRev", u"FW");
        sim::RegSetDword(kStatus, u"CommStatus", 1);
    };
    seed();
    LoadFields(StatusFieldTable, 0);
    std::vector<Bytes> whole;
    for (RegistryField** at = StatusFieldTable; *at != nullptr; ++at)
        whole.push_back(DataOf(*at));
    FreeFields(StatusFieldTable);
    for (sim::Op op : {sim::Op::RegOpenKeyExW, sim::Op::RegQueryValueExW}) {
        for (int n = 1;; ++n) {
            SCOPED_TRACE(testing::Message() << "op " << static_cast<int>(op) << " n " << n);
            ASSERT_LT(n, 200);
            sim::Reset();
            seed();
            sim::FailNth(op, n);
            LoadFields(StatusFieldTable, 0);
            const bool reached = !sim::FailurePending(op);
            sim::FailNth(op, 0);
            ExpectInvariant(StatusFieldTable);
            EXPECT_EQ(sim::OpenKeyCount(), 0u);
            int lost = 0;
            for (std::size_t i = 0; StatusFieldTable[i] != nullptr; ++i) {
                const Bytes got = DataOf(StatusFieldTable[i]);
                if (got != whole[i]) {
                    ++lost;
                    EXPECT_EQ(got, Bytes()) << i;
                }
            }
            EXPECT_LE(lost, reached ? 1 : 0);
            FreeFields(StatusFieldTable);
            EXPECT_EQ(sim::LiveAllocations(), 0u);
            if (!reached) break;
        }
    }
}

// The Nth allocation failing, for every N, over a whole load-set-save-free
// cycle of both tables.
TEST_F(FieldsTest, AllocationFailureAnywhereInACycleKeepsEverythingConsistent) {
    const std::vector<ups_area::Value> seed = ups_expected::RoundTripSeed();
    int n = 1;
    for (;; ++n) {
        SCOPED_TRACE(n);
        ASSERT_LT(n, 500);
        sim::Reset();
        ups_area::Seed(seed);
        ups_area::Seed({ups_area::SzValue(u"Status", u"SerialNumber", u"SN0"),
                        ups_area::DwValue(u"Status", u"CommStatus", 2)});
        sim::FailNth(sim::Op::HeapAllocate, n);
        LoadFields(ConfigFieldTable, 0);
        ExpectInvariant(ConfigFieldTable);
        LoadFields(StatusFieldTable, 0);
        ExpectInvariant(StatusFieldTable);
        const DWORD set_vendor = SetVendor(u"Generic");
        const DWORD set_notify = SetNotifyEnable(1);
        const DWORD set_serial = SetSerialNumber(u"");
        ExpectInvariant(ConfigFieldTable);
        ExpectInvariant(StatusFieldTable);
        for (DWORD r : {set_vendor, set_notify, set_serial}) {
            EXPECT_TRUE(r == FIELD_OK || r == FIELD_OUT_OF_MEMORY) << r;
        }
        SaveFields(ConfigFieldTable, 1);
        SaveFields(StatusFieldTable, 1);
        ExpectInvariant(ConfigFieldTable);
        ExpectInvariant(StatusFieldTable);
        FreeFields(ConfigFieldTable);
        FreeFields(StatusFieldTable);
        const bool reached = !sim::FailurePending(sim::Op::HeapAllocate);
        sim::FailNth(sim::Op::HeapAllocate, 0);
        EXPECT_EQ(sim::LiveAllocations(), 0u);
        EXPECT_EQ(sim::OpenKeyCount(), 0u);

        // Each value is either as it was or as set; nothing else appears.
        std::vector<ups_area::Value> want = seed;
        want.push_back(ups_area::SzValue(u"Status", u"SerialNumber", u"SN0"));
        want.push_back(ups_area::DwValue(u"Status", u"CommStatus", 2));
        for (ups_area::Value& v : want) {
            if (v.name == u"Vendor" && set_vendor == FIELD_OK) v.bytes = ups_area::Sz(u"Generic");
            if (v.name == u"NotifyEnable" && set_notify == FIELD_OK) v.bytes = ups_area::Dw(1);
            if (v.name == u"SerialNumber" && set_serial == FIELD_OK) v.bytes = ups_area::Sz(u"");
        }
        EXPECT_EQ(ups_area::Diff(want), "");
        if (!reached) {
            EXPECT_EQ(set_vendor | set_notify | set_serial, FIELD_OK);
            break;
        }
    }
    EXPECT_GT(n, 10);  // the cycle allocates once per loaded record and per setter
}

// The shared round trip, checked against the listing the Windows program
// checks on the real registry, and as a whole snapshot.
TEST_F(FieldsTest, RoundTripOfBothTablesLeavesTheExpectedBytes) {
    sim::Reset();
    ups_area::Seed(ups_expected::RoundTripResult());
    const std::string want = sim::RegSnapshot(u"SYSTEM");
    sim::Reset();
    ups_area::Seed(ups_expected::RoundTripSeed());
    ups_expected::RunRoundTrip();
    EXPECT_EQ(ups_area::Diff(ups_expected::RoundTripResult()), "");
    EXPECT_EQ(sim::RegSnapshot(u"SYSTEM"), want);
    EXPECT_FALSE(sim::RegKeyExists(kStatus));
}

}  // namespace
