// The real host end to end: the first-start priming of the UPS registry area.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <vector>

#include "harness.h"

namespace e2e {
namespace {

// The UPS service's registry area as text, one line a value, named by its key
// relative to SYSTEM\CurrentControlSet\Services\UPS and its own name:
//   Config\Vendor=sz:(NONE)   a REG_SZ of printable ASCII and exactly one terminator
//   Options=dword:0x7e        a REG_DWORD of four bytes
//   Port=hex(1):43 00         any other value: its type and bytes (so a string
//                             without its terminator reads apart from one with)
//   [ServiceProviders]        a key that holds no values
//   !Config\Vendor            (in a road) that value is not there
// areas/primed.txt is the area as the first start writes it on a machine
// without a UPS key. areas/roads.txt lists the roads of the first start: "*"
// starts a road from an empty area, "+" one on top of the road above; "<" is
// a line of the area before, ">" a line that differs after from the primed
// area with the before's values ("> *": nothing is written), "~" an edit made
// between the first and second start, which the second must leave as it is.
using Area = std::map<std::string, std::string>;  // what a line names -> the line
const std::wstring kUps = L"SYSTEM\\CurrentControlSet\\Services\\UPS";

void Apply(Area* area, const std::string& line) {
    const bool gone = line[0] == '!';
    const std::string name = line.substr(gone, line.find('=') - gone);
    if (gone) area->erase(name);
    if (!gone) (*area)[name] = line;
}
std::string Text(const Area& area) {
    std::string text;
    for (const auto& line : area)
        text += line.second + "\n";
    return text;
}
std::wstring PathOf(const std::string& key) {
    return kUps + (key.empty() ? L"" : L"\\" + std::wstring(key.begin(), key.end()));
}

// A value as a line (its name first).
std::string Describe(std::string line, DWORD type, const BYTE* data, DWORD size) {
    bool plain = type == REG_SZ && size >= 2 && size % 2 == 0 && !data[size - 2] && !data[size - 1];
    std::string text;
    for (DWORD c = 0; plain && c + 2 < size; c += 2) {
        plain = data[c] >= 0x20 && data[c] < 0x7F && !data[c + 1];
        text += static_cast<char>(data[c]);
    }
    if (plain) return line + "=sz:" + text;
    char cell[16];
    if (type == REG_DWORD && size == 4) {
        std::snprintf(cell, sizeof cell, "0x%lx", *reinterpret_cast<const DWORD*>(data));
        return line + "=dword:" + cell;
    }
    line += "=hex(" + std::to_string(type) + "):";
    for (DWORD b = 0; b < size; ++b, line += cell)
        std::snprintf(cell, sizeof cell, b ? " %02x" : "%02x", data[b]);
    return line;
}

// Adds the values and keys under `key` (relative to the UPS key) to `area`.
void Read(const std::string& key, Area* area) {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, PathOf(key).c_str(), 0, KEY_READ, &handle)) return;
    const std::string prefix = key.empty() ? "" : key + "\\";
    wchar_t name[256];
    DWORD i = 0, length = 256;
    for (; !RegEnumValueW(handle, i, name, &length, nullptr, nullptr, nullptr, nullptr);
         ++i, length = 256) {
        BYTE data[4096];
        DWORD type = 0, size = sizeof data;
        RegQueryValueExW(handle, name, nullptr, &type, data, &size);
        Apply(area, Describe(prefix + std::string(name, name + length), type, data, size));
    }
    if (i == 0) Apply(area, "[" + key + "]");
    for (i = 0, length = 256;
         !RegEnumKeyExW(handle, i, name, &length, nullptr, nullptr, nullptr, nullptr);
         ++i, length = 256)
        Read(prefix + std::string(name, name + length), area);
    RegCloseKey(handle);
}
std::string Dump() {
    Area area;
    Read("", &area);
    return Text(area);
}

// Writes one line into the area: a key, a value, or a value's absence.
void Write(const std::string& line) {
    const bool gone = line[0] == '!', key = line[0] == '[';
    const std::size_t equals = line.find('=');
    const std::string name = line.substr(gone, equals - gone);
    const std::string data = key || gone ? "hex(0):" : line.substr(equals + 1);
    const std::size_t cut = name.rfind('\\'), at = data.find(':') + 1;
    HKEY handle = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                    PathOf(key ? name.substr(1, name.size() - 2)
                               : name.substr(0, cut == std::string::npos ? 0 : cut))
                        .c_str(),
                    0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle, nullptr);
    const std::string value = name.substr(cut == std::string::npos ? 0 : cut + 1);
    // The bytes: "sz:..." a string and its terminator, "dword:0x..." four,
    // "hex(N):.." as given.
    std::vector<BYTE> bytes;
    const DWORD type = data[0] == 's'   ? REG_SZ
                       : data[0] == 'd' ? REG_DWORD
                                        : std::stoul(data.substr(4));
    for (std::size_t c = at; data[0] == 's' && c <= data.size(); ++c)
        bytes.insert(bytes.end(), {static_cast<BYTE>(c < data.size() ? data[c] : 0), 0});
    for (std::size_t c = at; data[0] == 'h' && c + 1 < data.size(); c += 3)
        bytes.push_back(static_cast<BYTE>(std::stoul(data.substr(c, 2), nullptr, 16)));
    for (int b = 0; data[0] == 'd' && b < 32; b += 8)
        bytes.push_back(static_cast<BYTE>(std::stoul(data.substr(at), nullptr, 16) >> b));
    const DWORD size = static_cast<DWORD>(bytes.size());
    // Two non-zero bytes past the data: given a string without its terminator,
    // RegSetValueExW stores one character more when the one past the given
    // size reads as a terminator.
    bytes.insert(bytes.end(), {0xFF, 0xFF});
    const std::wstring wide(value.begin(), value.end());
    if (gone) RegDeleteValueW(handle, wide.c_str());
    if (!gone && !key) RegSetValueExW(handle, wide.c_str(), 0, type, bytes.data(), size);
    RegCloseKey(handle);
}

// The area as it was before the tests, put back whatever they did.
struct KeepArea {
    Area kept;
    KeepArea() { Read("", &kept); }
    ~KeepArea() {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kUps.c_str());
        for (const auto& line : kept)
            Write(line.second);
    }
};

// Each road of areas/roads.txt: a start writes the UPS area before it
// launches anything when the area has no Config key; the next start writes
// nothing, and a user's edit made between them stays. The machine's own UPS
// area is put back afterwards.
TEST(UpsPrimeE2E, FirstStartPrimesTheAreaAndTheNextStartLeavesIt) {
    const std::string here = __FILE__;
    const std::wstring areas =
        Program(L"QELN_E2E_DATA", here.substr(0, here.find_last_of("/\\")).c_str()) + L"\\areas\\";
    std::istringstream base(ReadBytes(areas + L"primed.txt")),
        roads(ReadBytes(areas + L"roads.txt"));
    Area primed;
    for (std::string line; std::getline(base, line);)
        Apply(&primed, line);
    ASSERT_GT(primed.size(), 30u) << "areas/primed.txt not read";
    const KeepArea kept;
    Site site(L'P');
    ASSERT_TRUE(site.ready && site.Run(L"-install").exitCode == 0) << "not installed";
    // The application does not exist: each run ends right after the priming.
    ASSERT_TRUE(site.Configure(site.work + L"\\missing.exe", L"missing"));
    std::string title;  // of the road that the lines so far make
    std::vector<std::string> before, after, edit;
    int travelled = 0;
    auto travel = [&] {
        SCOPED_TRACE(title);
        ++travelled;
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kUps.c_str());
        ASSERT_EQ("", Dump()) << "the UPS area could not be removed";
        Area was, will = primed;
        for (const std::string& line : before)
            Write(line), Apply(&was, line), Apply(&will, line);
        for (const std::string& line : after)
            line == "*" ? void(will = was) : Apply(&will, line);
        for (int start = 1; start <= 2; ++start) {
            std::wstring seen;
            ASSERT_TRUE(site.Start() && site.WaitFor(SERVICE_STOPPED, &seen)) << seen;
            EXPECT_TRUE(Like(seen, L"(START_PENDING )?STOPPED ")) << seen;
            EXPECT_EQ(Text(will), Dump()) << "after start " << start;
            for (const std::string& line : edit)
                Write(line), Apply(&will, line);
        }
    };
    // Each road is travelled when the next begins; the end of the list
    // begins none.
    for (std::string line; std::getline(roads, line) || !title.empty();) {
        const char tag = line.empty() ? '*' : line[0];
        if (tag == '<' || tag == '>' || tag == '~')
            (tag == '<' ? before : tag == '>' ? after : edit).push_back(line.substr(2));
        if (tag != '*' && tag != '+') continue;
        if (!title.empty()) travel();
        if (tag == '*') before.clear(), after.clear();
        title = line.empty() ? "" : line.substr(2);
        edit.clear();
    }
    EXPECT_GT(travelled, 10) << "areas/roads.txt not read";
}

}  // namespace
}  // namespace e2e
