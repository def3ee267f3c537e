// The UPS service's registry area (SYSTEM\CurrentControlSet\Services\UPS) as
// text, read with RegQueryValueExW, one line a value, named by its key
// relative to the UPS key and its own name:
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
#ifndef QELN_TESTS_E2E_UPS_AREA_H
#define QELN_TESTS_E2E_UPS_AREA_H

#include <windows.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace ups_area {

using Area = std::map<std::string, std::string>;  // what a line names -> the line
using Lines = std::vector<std::string>;
const std::wstring kUps = L"SYSTEM\\CurrentControlSet\\Services\\UPS";

inline void Apply(Area* area, const std::string& line) {
    const std::string name = line.substr(line[0] == '!', line.find('=') - (line[0] == '!'));
    if (line[0] == '!') area->erase(name);
    if (line[0] != '!') (*area)[name] = line;
}
inline std::string Text(const Area& area) {
    std::string text;
    for (const auto& line : area)
        text += line.second + "\n";
    return text;
}
inline std::wstring Wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}
inline std::wstring PathOf(const std::string& key) {
    return kUps + (key.empty() ? L"" : L"\\" + Wide(key));
}

// A value as a line (its name first).
inline std::string Describe(std::string line, DWORD type, const BYTE* data, DWORD size) {
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
inline void Read(const std::string& key, Area* area) {
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
inline std::string Dump() {
    Area area;
    Read("", &area);
    return Text(area);
}

// The type and bytes of a line's data ("sz:...", "dword:0x...", "hex(N):...").
inline std::vector<BYTE> Bytes(const std::string& data, DWORD* type) {
    const std::string text = data.substr(data.find(':') + 1);
    std::vector<BYTE> bytes;
    *type = data[0] == 's' ? REG_SZ : data[0] == 'd' ? REG_DWORD : std::stoul(data.substr(4));
    for (std::size_t at = 0; data[0] == 's' && at <= text.size(); ++at)
        bytes.insert(bytes.end(), {static_cast<BYTE>(at < text.size() ? text[at] : 0), 0});
    for (std::size_t at = 0; data[0] == 'h' && at + 1 < text.size(); at += 3)
        bytes.push_back(static_cast<BYTE>(std::stoul(text.substr(at, 2), nullptr, 16)));
    const DWORD number = data[0] == 'd' ? std::stoul(text, nullptr, 16) : 0;
    const BYTE* at = reinterpret_cast<const BYTE*>(&number);
    if (data[0] == 'd') bytes.assign(at, at + 4);
    return bytes;
}

// Writes one line into the area: a key, a value, or a value's absence.
inline void Write(const std::string& line) {
    const bool gone = line[0] == '!', key = line[0] == '[';
    const std::size_t equals = line.find('=');
    const std::string name = line.substr(gone, equals - gone);
    const std::size_t cut = name.rfind('\\');
    HKEY handle = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                    PathOf(key ? name.substr(1, name.size() - 2)
                               : name.substr(0, cut == std::string::npos ? 0 : cut))
                        .c_str(),
                    0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle, nullptr);
    const std::wstring value = Wide(name.substr(cut == std::string::npos ? 0 : cut + 1));
    DWORD type = 0;
    std::vector<BYTE> bytes =
        key || gone ? std::vector<BYTE>() : Bytes(line.substr(equals + 1), &type);
    const DWORD size = static_cast<DWORD>(bytes.size());
    // Two non-zero bytes past the data: given a string without its terminator,
    // RegSetValueExW stores one character more when the one past the given
    // size reads as a terminator.
    bytes.insert(bytes.end(), {0xFF, 0xFF});
    if (gone) RegDeleteValueW(handle, value.c_str());
    if (!gone && !key) RegSetValueExW(handle, value.c_str(), 0, type, bytes.data(), size);
    RegCloseKey(handle);
}

struct Road {
    std::string title;
    Lines before, after, edit;
};
// The roads of areas/roads.txt; `primed` gets areas/primed.txt.
inline std::vector<Road> Roads(Area* primed) {
    const std::string here = __FILE__;
    const std::string areas = "Z:" + here.substr(0, here.find_last_of("/\\") + 1) + "areas/";
    std::ifstream base(areas + "primed.txt"), roads(areas + "roads.txt");
    std::vector<Road> out;
    for (std::string line; std::getline(base, line);)
        Apply(primed, line);
    for (std::string line; std::getline(roads, line);) {
        const char tag = line.size() > 2 ? line[0] : ' ';
        if (tag == '*' || tag == '+') {
            out.push_back(tag == '+' ? out.back() : Road());
            out.back().title = line.substr(2);
            out.back().edit.clear();
        }
        if (tag == '<' || tag == '>' || tag == '~')
            (tag == '<'   ? out.back().before
             : tag == '>' ? out.back().after
                          : out.back().edit)
                .push_back(line.substr(2));
    }
    return out;
}

}  // namespace ups_area

#endif
