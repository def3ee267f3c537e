// The field tables on arbitrary stored values. The input seeds the registry,
// loads both tables, changes stored values behind them, then takes steps:
// setters (some without memory), loads and saves (some under a failure of the
// heap or the registry). After each step the records it names hold what it
// documents, every record answers the getter from what it holds and all else
// is as it was; at the end no heap block, key handle or data is left.
//
// Input: a byte of the keys that exist (1 UPS, 2 Config, 4 Status); twice,
// per record, a shape (0x80 stored, low bits the type), a length and the
// bytes; then steps of an op (bit 0 a string setter or a save, bit 1 a load
// or save, bits 3-5 its failure, bit 6 a setter without memory, bit 7 the
// Status table), a record and the step's arguments.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/sim/sim.h"
#include "upsprime/upsprime.h"

namespace {

using platform::DWORD;
using Op = sim::Op;
// "KEY <path>" -> "key" and "VAL <path> | <name>" -> "<type> | <hex>" for
// the registry, "REC <path> | <name>" -> "<changed> | <hex>" for the records.
using State = std::map<std::string, std::string>;

const std::u16string kUps = u"SYSTEM\\CurrentControlSet\\Services\\UPS";
const std::u16string kKeys[3] = {kUps, kUps + u"\\Config", kUps + u"\\Status"};
// Each record's key (UPS, Config, Status) and type, in table order.
const char kLayout[] = "C1C1U1U4C1C4U4U4C4C4C4C1C4C4C1U4C4C4C4U4S1S1S4S4S4S4S4";
// REG_SZ, REG_DWORD, REG_BINARY, REG_EXPAND_SZ, REG_NONE, REG_MULTI_SZ, one
// the platform does not know; 7 stands for the record's own type.
const DWORD kTypes[7] = {1, 4, 3, 2, 0, 7, 0xFFFF};
const Op kFailures[8] = {Op::Count,          Op::HeapAllocate,
                         Op::RegOpenKeyExW,  Op::RegQueryValueExW,
                         Op::RegSetValueExW, Op::Count};
const std::uint8_t* g_at;  // the input not yet read
const std::uint8_t* g_end;

std::uint8_t Byte() {
    return g_at == g_end ? 0 : *g_at++;
}

// The records of both tables, or of `only`.
std::vector<RegistryField*> Records(RegistryField** only = nullptr) {
    std::vector<RegistryField*> out;
    for (RegistryField** table : {ConfigFieldTable, StatusFieldTable})
        for (RegistryField** at = table; *at != nullptr; ++at)
            if (only == nullptr || only == table) out.push_back(*at);
    return out;
}

std::string Hex(const std::uint8_t* at, std::size_t size) {
    std::string out;
    for (std::size_t i = 0; i < size; ++i)
        out += std::string(i == 0 ? "" : " ") + "0123456789abcdef"[at[i] >> 4] +
               "0123456789abcdef"[at[i] & 15];
    return out;
}

std::string Name(const RegistryField* r) {
    return sim::U8(r->key_path) + " | " + sim::U8(r->value_name);
}

// The registry, and what each record holds; the getter must answer the
// record's first 32 bits, zero-extended.
State World() {
    State out;
    std::istringstream lines(sim::RegSnapshot(u"SYSTEM"));
    for (std::string line; std::getline(lines, line);) {
        const std::size_t cut = line.find(" | ", line.find(" | ") + 1);
        out[line.substr(0, cut)] = cut == std::string::npos ? "key" : line.substr(cut + 3);
    }
    for (RegistryField* r : Records()) {
        DWORD got = 0xA5A5A5A5, want = r->data_size == 0 ? got : 0;
        for (DWORD i = 0; i < r->data_size && i < 4 && r->data != nullptr; ++i)
            want |= DWORD(r->data[i]) << (8 * i);
        const DWORD result = GetDwordField(r, &got);
        const bool held = (r->data != nullptr) == (r->data_size != 0) && got == want &&
                          result == (r->data_size == 0 ? FIELD_NO_VALUE : FIELD_OK);
        out["REC " + Name(r)] =
            held ? std::to_string(r->changed) + " | " + Hex(r->data, r->data_size)
                 : "broken, the getter gives " + std::to_string(got);
    }
    return out;
}

// Each entry where the world differs from want must show alt, at most slack
// of them; no key may stay open.
std::string Check(const std::string& step, State want, State alt = State(), int slack = 0) {
    State got = World();
    for (const auto& entry : want)
        got[entry.first];
    for (const auto& [what, holds] : got)
        if (holds != want[what] && (holds != alt[what] || --slack < 0))
            return step + ": " + what + " holds [" + holds + "], want [" + want[what] + "]";
    return sim::OpenHandles() == 0 ? "" : step + ": keys left open";
}

// A load (of the changed records when `flag` is non-zero) gives a record its
// stored value when that has its type and some bytes, else nothing. A save
// (forced when `flag` is 1, else of the changed records) writes a record's
// data where its key exists. Either leaves the record unchanged; with a
// failure, one load may leave its record empty or one write not take place.
std::string Walk(RegistryField** table, bool save, DWORD flag, Op fail = Op::Count, int n = 0) {
    State want = World(), alt;
    for (RegistryField* r : Records(table)) {
        const std::string rec = "REC " + Name(r), val = "VAL " + Name(r);
        const std::string type = std::to_string(r->value_type) + " | ";
        if (save && r->data != nullptr && (flag == 1 || r->changed == 1)) {
            want[rec] = "0 | " + Hex(r->data, r->data_size);
            alt[val] = want[val];
            if (want.count("KEY " + sim::U8(r->key_path)) != 0)
                want[val] = type + want[rec].substr(4);
        } else if (!save && (flag == 0 || r->changed == 1)) {
            const bool loads = want[val].rfind(type, 0) == 0 && want[val].size() > type.size();
            want[rec] = "0 | " + (loads ? want[val].substr(type.size()) : "");
            alt[rec] = "0 | ";
        }
    }
    sim::FailNth(fail, n);
    save ? SaveFields(table, flag) : LoadFields(table, flag);
    const bool failed = fail != Op::Count && !sim::FailurePending(fail);
    sim::FailNth(fail, 0);
    return Check(save ? "save" : "load", want, alt, failed ? 1 : 0);
}

// Stores values of the types the input picks where the records' keys exist.
void Seed() {
    const State world = World();
    for (RegistryField* r : Records()) {
        const std::uint8_t shape = Byte();
        if (world.count("KEY " + sim::U8(r->key_path)) == 0 || (shape & 0x80) == 0) continue;
        const std::size_t size = std::min<std::size_t>(Byte() % 65, g_end - g_at);
        sim::RegSetRaw(r->key_path, r->value_name,
                       (shape & 7) == 7 ? r->value_type : kTypes[shape & 7], {g_at, g_at + size});
        g_at += size;
    }
}

std::string Step() {
    const std::uint8_t op = Byte();
    RegistryField* r = Records().at(Byte() % 27);
    if ((op & 2) != 0) {
        const DWORD flag = Byte() % 3;
        return Walk((op & 0x80) != 0 ? StatusFieldTable : ConfigFieldTable, (op & 1) != 0, flag,
                    kFailures[op >> 3 & 7], Byte() % 64 + 1);
    }
    const bool oom = (op & 0x40) != 0;
    State want = World();
    // Without memory the old data is gone and the changed flag stays.
    want["REC " + Name(r)] = std::to_string(r->changed) + " | ";
    std::u16string text(Byte() % 40, u'\0');
    std::vector<std::uint8_t> image;  // what the setter stores
    for (char16_t& c : text)
        c = char16_t(Byte() * 251 + 1);
    for (char16_t c : text + u'\0' + u'\0')
        image.insert(image.end(), {std::uint8_t(c), std::uint8_t(c >> 8)});
    const DWORD value = image[0] | image[1] << 8 | image[2] << 16 | DWORD(image[3]) << 24;
    image.resize((op & 1) != 0 ? 2 * text.size() + 2 : 4);
    sim::FailNth(Op::HeapAllocate, oom ? 1 : 0);
    const DWORD result = (op & 1) != 0 ? SetStringField(r, text.c_str()) : SetDwordField(r, value);
    sim::FailNth(Op::HeapAllocate, 0);
    if (result != (oom ? FIELD_OUT_OF_MEMORY : FIELD_OK))
        return "setter of " + Name(r) + " gives " + std::to_string(result);
    if (!oom) want["REC " + Name(r)] = "1 | " + Hex(image.data(), image.size());
    return Check("setter", want);
}

std::string Run() {
    std::string layout;
    for (RegistryField* r : Records()) {
        const std::size_t key = std::find(kKeys, kKeys + 3, r->key_path) - kKeys;
        layout += "UCS?"[key] + std::to_string(r->value_type);
    }
    if (layout != kLayout) return "layout " + layout;
    DWORD v = 0x5A5A5A5A;
    const DWORD bad = FIELD_INVALID_PARAMETER;
    RegistryField* first = ConfigFieldTable[0];
    if (SetDwordField(nullptr, 1) != bad || SetStringField(nullptr, u"x") != bad ||
        SetStringField(first, nullptr) != bad || GetDwordField(nullptr, &v) != bad ||
        GetDwordField(first, nullptr) != bad || v != 0x5A5A5A5A || first->data != nullptr)
        return "missing arguments";
    // Each existing key holds a value of no record, which nothing may touch.
    const int keys = Byte();
    for (int k = 0; k < 3; ++k)
        if ((keys & (1 << k)) != 0 || (k == 0 && (keys & 6) != 0))
            sim::RegSetRaw(kKeys[k], u"Other", 3, {1});
    Seed();
    std::string fault = Walk(ConfigFieldTable, false, 0) + Walk(StatusFieldTable, false, 0);
    Seed();  // another writer, behind the tables
    for (int step = 0; step < 64 && g_at != g_end && fault.empty(); ++step)
        fault = Step();
    if (fault.empty()) fault = Walk(ConfigFieldTable, true, 1) + Walk(StatusFieldTable, true, 1);
    FreeFields(ConfigFieldTable);
    FreeFields(StatusFieldTable);
    const State freed = World();
    for (RegistryField* r : Records())
        if (fault.empty() && freed.at("REC " + Name(r)) != "0 | ") fault = "free left " + Name(r);
    return fault.empty() && sim::LiveAllocations() != 0 ? "heap blocks left after free" : fault;
}

}  // namespace

// The first check that failed, or "".
std::string RunFieldFuzzCase(const std::uint8_t* data, std::size_t size) {
    sim::Reset();
    g_at = data;
    g_end = data + size;
    return Run();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string fault = RunFieldFuzzCase(data, size);
    if (fault.empty()) return 0;
    (void)std::fprintf(stderr, "field fuzz: %s\n", fault.c_str());
    std::abort();
}
