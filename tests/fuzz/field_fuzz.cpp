#include "tests/fuzz/field_fuzz.h"

#include <algorithm>
#include <vector>

#include "platform/sim/sim.h"
#include "tests/contract/ups_area.h"
#include "upsprime/upsprime.h"

namespace {

using platform::DWORD;
using Bytes = std::vector<std::uint8_t>;

const std::u16string kUps = u"SYSTEM\\CurrentControlSet\\Services\\UPS";
const std::u16string kConfig = kUps + u"\\Config";
const std::u16string kStatus = kUps + u"\\Status";

// Reads the input front to back; zeros once it runs out.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    DWORD Dword() {
        DWORD v = 0;
        for (int i = 0; i < 4; ++i)
            v |= static_cast<DWORD>(Byte()) << (8 * i);
        return v;
    }
    Bytes Take(std::size_t n) {
        Bytes out;
        for (std::size_t i = 0; i < n; ++i)
            out.push_back(Byte());
        return out;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

struct StoredValue {
    bool present = false;
    DWORD type = 0;
    Bytes bytes;
};

// Where a record lives: the three keys of the area.
enum KeyIndex { kUpsIndex, kConfigIndex, kStatusIndex };
const char16_t* const kKeys[3] = {u"", u"Config", u"Status"};

KeyIndex KeyOf(const RegistryField* r) {
    if (kConfig == r->key_path) return kConfigIndex;
    if (kStatus == r->key_path) return kStatusIndex;
    return kUpsIndex;
}

struct ModelRecord {
    RegistryField* record;
    RegistryField** table;
    KeyIndex key;
    Bytes data;  // empty: no data
    DWORD changed = 0;
    StoredValue stored;  // the record's value in the registry
};

class Model {
public:
    Model() {
        for (RegistryField** table : {ConfigFieldTable, StatusFieldTable}) {
            for (RegistryField** at = table; *at != nullptr; ++at) {
                records_.push_back(ModelRecord{*at, table, KeyOf(*at), Bytes(), 0, StoredValue()});
            }
        }
    }

    std::vector<ModelRecord>& records() { return records_; }
    bool& key(KeyIndex k) { return keys_[k]; }

    void Load(RegistryField** table, DWORD only_changed) {
        for (ModelRecord& m : records_) {
            if (m.table != table) continue;
            if (only_changed != 0 && m.changed != 1) continue;
            m.changed = 0;
            m.data.clear();
            if (keys_[m.key] && m.stored.present && m.stored.type == m.record->value_type) {
                m.data = m.stored.bytes;
            }
        }
    }

    void Save(RegistryField** table, DWORD force) {
        for (ModelRecord& m : records_) {
            if (m.table != table || m.data.empty()) continue;
            if (force != 1 && m.changed != 1) continue;
            if (keys_[m.key]) m.stored = StoredValue{true, m.record->value_type, m.data};
            m.changed = 0;
        }
    }

    // The first difference between the model and the tables, or "".
    std::string CheckTables() const {
        for (const ModelRecord& m : records_) {
            const RegistryField* r = m.record;
            if ((r->data == nullptr) != (r->data_size == 0)) {
                return ups_area::Narrow(r->value_name) + ": data/size invariant";
            }
            if (r->data_size != m.data.size() ||
                (r->data_size != 0 && !std::equal(m.data.begin(), m.data.end(), r->data))) {
                const Bytes held =
                    r->data == nullptr ? Bytes() : Bytes(r->data, r->data + r->data_size);
                return ups_area::Narrow(r->value_name) + ": holds " + ups_area::Hex(held) +
                       ", model " + ups_area::Hex(m.data);
            }
            if (r->changed != m.changed) return ups_area::Narrow(r->value_name) + ": changed flag";
        }
        return "";
    }

    // The first difference between the model and the simulated registry, or "".
    std::string CheckRegistry() const {
        for (int k = 0; k < 3; ++k) {
            if (ups_area::KeyExists(kKeys[k]) != keys_[k]) {
                return "key [" + ups_area::Narrow(kKeys[k]) +
                       (keys_[k] ? "] disappeared" : "] was created");
            }
        }
        for (const ModelRecord& m : records_) {
            ups_area::Value got;
            const bool present = ups_area::Read(kKeys[m.key], m.record->value_name, &got);
            const std::string name = ups_area::Narrow(m.record->value_name);
            if (present != m.stored.present) return name + ": presence in the registry";
            if (present && (got.type != m.stored.type || got.bytes != m.stored.bytes)) {
                return name + ": registry holds type " + std::to_string(got.type) + " " +
                       ups_area::Hex(got.bytes) + ", model type " + std::to_string(m.stored.type) +
                       " " + ups_area::Hex(m.stored.bytes);
            }
        }
        return "";
    }

private:
    std::vector<ModelRecord> records_;
    bool keys_[3] = {false, false, false};
};

// Stored types: REG_SZ, REG_DWORD, REG_BINARY, REG_EXPAND_SZ, REG_NONE,
// REG_MULTI_SZ, one unknown to the platform, and 0 for the record's own type.
const DWORD kTypes[8] = {1, 4, 3, 2, 0, 7, 0xFFFF, 0};

std::string Run(Input& in) {
    Model model;
    const std::uint8_t flags = in.Byte();
    const bool config = (flags & 2) != 0;
    const bool status = (flags & 4) != 0;
    const bool ups = (flags & 1) != 0 || config || status;
    model.key(kUpsIndex) = ups;
    model.key(kConfigIndex) = config;
    model.key(kStatusIndex) = status;
    if (config) ups_area::CreateEmptyKey(u"Config");
    if (status) ups_area::CreateEmptyKey(u"Status");
    if (ups) ups_area::CreateEmptyKey(u"");

    // The stored values: present or not, any type, 0..64 bytes.
    for (ModelRecord& m : model.records()) {
        const std::uint8_t shape = in.Byte();
        if ((shape & 0x80) == 0 || !model.key(m.key)) continue;
        DWORD type = kTypes[shape & 7];
        if (type == 0) type = m.record->value_type;
        Bytes bytes = in.Take(in.Byte() % 65);
        if ((shape & 0x40) != 0 && bytes.size() >= 2) {
            bytes[bytes.size() - 1] = 0;  // a terminated string
            bytes[bytes.size() - 2] = 0;
        }
        sim::RegSetRaw(m.record->key_path, m.record->value_name, type, bytes);
        m.stored = StoredValue{true, type, bytes};
    }

    std::string fault = model.CheckRegistry();
    if (!fault.empty()) return "seeding: " + fault;

    LoadFields(ConfigFieldTable, 0);
    LoadFields(StatusFieldTable, 0);
    model.Load(ConfigFieldTable, 0);
    model.Load(StatusFieldTable, 0);
    fault = model.CheckTables();
    if (!fault.empty()) return "load: " + fault;

    std::vector<ModelRecord>& records = model.records();
    for (int step = 0; step < 64 && !in.empty(); ++step) {
        const std::uint8_t op = in.Byte();
        ModelRecord& m = records[in.Byte() % records.size()];
        RegistryField** table = (op & 0x80) != 0 ? StatusFieldTable : ConfigFieldTable;
        std::string what;
        switch (op & 7) {
            case 0: {  // a DWORD setter
                const DWORD v = in.Dword();
                if (SetDwordField(m.record, v) != FIELD_OK) return "SetDwordField failed";
                m.data = ups_area::Dw(v);
                m.changed = 1;
                what = "SetDwordField";
                break;
            }
            case 1: {  // a string setter; the text ends at its first zero unit
                const std::size_t units = in.Byte() % 40;
                std::u16string text;
                for (std::size_t i = 0; i < units; ++i) {
                    const unsigned low = in.Byte();
                    const unsigned high = in.Byte();
                    text.push_back(static_cast<char16_t>(low | high << 8));
                }
                if (SetStringField(m.record, text.c_str()) != FIELD_OK)
                    return "SetStringField failed";
                m.data = ups_area::Sz(std::u16string(text.c_str()));
                m.changed = 1;
                what = "SetStringField";
                break;
            }
            case 2: {  // the getter
                DWORD v = 0xA5A5A5A5;
                const DWORD result = GetDwordField(m.record, &v);
                if (m.data.empty()) {
                    if (result != FIELD_NO_VALUE || v != 0xA5A5A5A5)
                        return "GetDwordField on no data";
                } else {
                    DWORD want = 0;
                    for (std::size_t i = 0; i < m.data.size() && i < 4; ++i) {
                        want |= static_cast<DWORD>(m.data[i]) << (8 * i);
                    }
                    if (result != FIELD_OK || v != want) return "GetDwordField value";
                }
                what = "GetDwordField";
                break;
            }
            case 3:  // setters without memory: the old data goes, the flag stays
            case 4: {
                sim::FailNth(sim::Op::HeapAllocate, 1);
                const DWORD result =
                    (op & 7) == 3 ? SetDwordField(m.record, 1) : SetStringField(m.record, u"abc");
                sim::FailNth(sim::Op::HeapAllocate, 0);
                if (result != FIELD_OUT_OF_MEMORY) return "setter without memory";
                m.data.clear();
                what = "setter without memory";
                break;
            }
            case 5:  // reload of the changed records
                LoadFields(table, 1);
                model.Load(table, 1);
                what = "LoadFields(changed)";
                break;
            case 6: {  // a save, forced or not (only exactly 1 forces)
                const DWORD force = in.Byte() % 3;
                SaveFields(table, force);
                model.Save(table, force);
                what = "SaveFields";
                break;
            }
            default: {
                if ((op & 0x40) != 0) {
                    // Another writer changes the stored value behind the table:
                    // only a forced or changed save may overwrite it.
                    if (!model.key(m.key)) break;
                    DWORD type = kTypes[in.Byte() & 7];
                    if (type == 0) type = m.record->value_type;
                    const Bytes bytes = in.Take(in.Byte() % 9);
                    sim::RegSetRaw(m.record->key_path, m.record->value_name, type, bytes);
                    m.stored = StoredValue{true, type, bytes};
                    what = "change behind the table";
                    break;
                }
                // Missing arguments change nothing.
                DWORD v = 0x5A5A5A5A;
                if (SetDwordField(nullptr, 1) != FIELD_INVALID_PARAMETER ||
                    SetStringField(nullptr, u"x") != FIELD_INVALID_PARAMETER ||
                    SetStringField(m.record, nullptr) != FIELD_INVALID_PARAMETER ||
                    GetDwordField(nullptr, &v) != FIELD_INVALID_PARAMETER ||
                    GetDwordField(m.record, nullptr) != FIELD_INVALID_PARAMETER ||
                    v != 0x5A5A5A5A) {
                    return "missing arguments";
                }
                what = "missing arguments";
                break;
            }
        }
        // Only saves write; an unexpected write elsewhere shows at the next
        // registry check, which every save and the end of the case make.
        fault = model.CheckTables();
        if (fault.empty() && (op & 7) == 6) fault = model.CheckRegistry();
        if (!fault.empty()) return "step " + std::to_string(step) + " " + what + ": " + fault;
    }

    SaveFields(ConfigFieldTable, 1);
    SaveFields(StatusFieldTable, 1);
    model.Save(ConfigFieldTable, 1);
    model.Save(StatusFieldTable, 1);
    fault = model.CheckTables();
    if (fault.empty()) fault = model.CheckRegistry();
    if (!fault.empty()) return "final save: " + fault;

    FreeFields(ConfigFieldTable);
    FreeFields(StatusFieldTable);
    for (ModelRecord& m : records) {
        m.data.clear();
        m.changed = 0;
    }
    fault = model.CheckTables();
    if (!fault.empty()) return "free: " + fault;
    if (sim::LiveAllocations() != 0) return "heap blocks left after free";
    if (sim::OpenHandles() != 0) return "keys left open";
    return "";
}

}  // namespace

std::string RunFieldFuzzCase(const std::uint8_t* data, std::size_t size) {
    sim::Reset();
    Input in(data, size);
    std::string fault = Run(in);
    FreeFields(ConfigFieldTable);
    FreeFields(StatusFieldTable);
    return fault;
}
