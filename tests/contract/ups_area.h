// Test helpers for the UPS service's registry area, written on the portable
// registry calls only, so the same code runs on the simulation and, in the
// Windows test programs, on the real registry.
//
// Keys are named relative to "SYSTEM\CurrentControlSet\Services\UPS": ""
// is the UPS key itself, "Config", "Status", "ServiceProviders\Vantrell"...
//
// A state of the area reads as a listing, one line per key that exists and
// per value in it, in the fixed order of the listing "layout", so that a listing and a
// dump of the area compare as text:
//   [Config]               the key (the UPS key itself: "[]")
//   Vendor=sz:(NONE)       a REG_SZ value of printable ASCII and its terminator
//   Options=dword:0x7e     a REG_DWORD value of four bytes
//   Model=hex(1):41 00 42  any other value: its type and bytes
#ifndef QELN_TESTS_CONTRACT_UPS_AREA_H
#define QELN_TESTS_CONTRACT_UPS_AREA_H

#include <cstdint>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/owned.h"
#include "platform/platform.h"

namespace ups_area {

using Bytes = std::vector<std::uint8_t>;

struct Value {
    std::u16string key;
    std::u16string name;
    std::uint32_t type;
    Bytes bytes;
};

// A REG_SZ image: the text, little-endian, and (unless told otherwise) its terminator.
inline Bytes Sz(const std::u16string& text, bool terminated = true) {
    Bytes out;
    for (char16_t c : text)
        out.insert(out.end(), {std::uint8_t(c & 0xFF), std::uint8_t(c >> 8)});
    if (terminated) out.insert(out.end(), {0, 0});
    return out;
}

inline Bytes Dw(std::uint32_t v) {
    return Bytes{std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16),
                 std::uint8_t(v >> 24)};
}

inline Value SzValue(const std::u16string& key, const std::u16string& name,
                     const std::u16string& text) {
    return Value{key, name, platform::REG_SZ, Sz(text)};
}

inline Value DwValue(const std::u16string& key, const std::u16string& name, std::uint32_t v) {
    return Value{key, name, platform::REG_DWORD, Dw(v)};
}

// `values` with each of `more` in place of the value of the same key and name, or added.
inline std::vector<Value> Join(std::vector<Value> values, const std::vector<Value>& more) {
    for (const Value& v : more) {
        bool replaced = false;
        for (Value& old : values) {
            if (old.key == v.key && old.name == v.name) {
                old = v;
                replaced = true;
            }
        }
        if (!replaced) values.push_back(v);
    }
    return values;
}

// ASCII view of wide text ('?' for the rest), and the other way.
inline std::string Narrow(const std::u16string& text) {
    std::string out;
    for (char16_t c : text)
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}
inline std::u16string Widen(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

inline std::string Hex(const Bytes& bytes) {
    std::string out;
    char cell[4];
    for (std::uint8_t b : bytes) {
        std::snprintf(cell, sizeof(cell), " %02x", b);
        out += cell;
    }
    return out.empty() ? "(empty)" : out.substr(1);
}

// The value as a line of a listing.
inline std::string Describe(const Value& v) {
    std::u16string text;
    for (std::size_t i = 1; i < v.bytes.size(); i += 2)
        text += char16_t(v.bytes[i - 1] | v.bytes[i] << 8);
    if (!text.empty()) text.pop_back();  // the terminator, when the image is a REG_SZ
    bool plain = v.type == platform::REG_SZ && Sz(text) == v.bytes;
    for (char16_t c : text)
        plain = plain && c >= 0x20 && c < 0x7F;
    const std::string name = Narrow(v.name) + "=";
    if (plain) return name + "sz:" + Narrow(text);
    if (v.type == platform::REG_DWORD && v.bytes.size() == 4) {
        char dword[16];
        std::snprintf(dword, sizeof(dword), "0x%x",
                      v.bytes[0] | v.bytes[1] << 8 | v.bytes[2] << 16 | unsigned{v.bytes[3]} << 24);
        return name + "dword:" + dword;
    }
    return name + "hex(" + std::to_string(v.type) + "):" + (v.bytes.empty() ? "" : Hex(v.bytes));
}

inline std::u16string Path(const std::u16string& key) {
    return u"SYSTEM\\CurrentControlSet\\Services\\UPS" + (key.empty() ? u"" : u"\\" + key);
}

// Opens (or, with `create`, creates) a key of the area.
inline platform::KeyOwner OpenKey(const std::u16string& key, bool create = false) {
    platform::KeyOwner handle;
    if (create) {
        platform::RegCreateKeyExW(platform::HKEY_LOCAL_MACHINE, Path(key).c_str(), 0, nullptr, 0,
                                  platform::KEY_SET_VALUE, nullptr, handle.put(), nullptr);
    } else {
        platform::RegOpenKeyExW(platform::HKEY_LOCAL_MACHINE, Path(key).c_str(), 0,
                                platform::KEY_QUERY_VALUE, handle.put());
    }
    return handle;
}

inline bool KeyExists(const std::u16string& key) {
    return static_cast<bool>(OpenKey(key));
}

// Creates a key (and the keys above it) without any value.
inline void CreateEmptyKey(const std::u16string& key) {
    OpenKey(key, true);
}

// Reads one value exactly as stored; false when its key or the value is absent.
inline bool Read(const std::u16string& key, const std::u16string& name, Value* out) {
    Bytes bytes(65536);
    platform::DWORD type = 0, size = 65536;
    if (platform::RegQueryValueExW(OpenKey(key).get(), name.c_str(), nullptr, &type, bytes.data(),
                                   &size) != platform::ERROR_SUCCESS)
        return false;
    bytes.resize(size);
    *out = Value{key, name, type, bytes};
    return true;
}

// Writes the values, creating their keys on the way.
inline void Seed(const std::vector<Value>& values) {
    for (const Value& v : values) {
        // Two non-zero bytes behind the data: handed a string without its
        // terminator, RegSetValueExW stores one character more when the one
        // past the given size reads as a terminator.
        Bytes guarded = v.bytes;
        guarded.insert(guarded.end(), {0xFF, 0xFF});
        platform::RegSetValueExW(OpenKey(v.key, true).get(), v.name.c_str(), 0, v.type,
                                 v.bytes.empty() ? nullptr : guarded.data(),
                                 static_cast<platform::DWORD>(v.bytes.size()));
    }
}

// The values of a listing; the keys it names go to `keys` when given. Lines
// starting with '#' are comments.
inline std::vector<Value> Parse(const std::string& listing,
                                std::vector<std::u16string>* keys = nullptr) {
    std::vector<Value> values;
    std::u16string key;
    std::istringstream lines(listing);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        if (line[0] == '[') {
            key = Widen(line.substr(1, line.size() - 2));
            if (keys != nullptr) keys->push_back(key);
            continue;
        }
        const std::size_t equals = line.find('='), colon = line.find(':', equals);
        const std::string kind = line.substr(equals + 1, colon - equals - 1);
        const std::string data = line.substr(colon + 1);
        Value v{key, Widen(line.substr(0, equals)), platform::REG_SZ, Sz(Widen(data))};
        if (kind == "dword") v = DwValue(key, v.name, std::stoul(data, nullptr, 16));
        if (kind.compare(0, 4, "hex(") == 0) {
            v.type = std::stoul(kind.substr(4));
            v.bytes.clear();
            std::istringstream hex(data);
            for (unsigned b = 0; hex >> std::hex >> b;)
                v.bytes.push_back(std::uint8_t(b));
        }
        values.push_back(v);
    }
    return values;
}

// The text of tests/contract/areas/<name>.txt without its comments, found
// beside this header (on Windows through Z:, where Wine shows the build
// machine's files).
inline std::string File(const std::string& name) {
    std::string path = __FILE__;
    path = path.substr(0, path.find_last_of("/\\") + 1) + "areas/" + name + ".txt";
#ifdef _WIN32
    path = "Z:" + path;
#endif
    std::ifstream file(path, std::ios::binary);
    std::string text = file ? "" : "(cannot read " + path + ")\n";
    for (std::string line; std::getline(file, line);) {
        if (line.empty() || line[0] != '#') text += line + "\n";
    }
    return text;
}

// Every key the host may create or touch in the area, parents first, and every
// value name it may write, read or delete there: the listing "layout".
inline const std::vector<std::u16string>& KnownKeys() {
    static const std::vector<std::u16string> keys = [] {
        std::vector<std::u16string> all;
        Parse(File("layout"), &all);
        return all;
    }();
    return keys;
}
inline const std::vector<std::pair<std::u16string, std::u16string>>& KnownNames() {
    static const std::vector<std::pair<std::u16string, std::u16string>> names = [] {
        std::vector<std::pair<std::u16string, std::u16string>> all;
        for (const Value& v : Parse(File("layout")))
            all.emplace_back(v.key, v.name);
        return all;
    }();
    return names;
}

// Removes the whole area (the known keys, leaves first).
inline void Clear() {
    for (auto key = KnownKeys().rbegin(); key != KnownKeys().rend(); ++key)
        platform::RegDeleteKeyW(platform::HKEY_LOCAL_MACHINE, Path(*key).c_str());
}

// The listing of an area holding `values` (over the known names), with the
// keys they lie in or below, and `keys`.
inline std::string Listing(const std::vector<Value>& values,
                           const std::vector<std::u16string>& keys = {}) {
    std::string out;
    for (const std::u16string& key : KnownKeys()) {
        bool wanted = std::find(keys.begin(), keys.end(), key) != keys.end();
        for (const Value& v : values)
            wanted = wanted || key.empty() || v.key.compare(0, key.size(), key) == 0;
        if (wanted) out += "[" + Narrow(key) + "]\n";
        for (const auto& known : KnownNames()) {
            for (const Value& v : values) {
                if (wanted && known.first == key && v.key == key && v.name == known.second)
                    out += Describe(v) + "\n";
            }
        }
    }
    return out;
}

// The listing of the area as it is.
inline std::string Dump() {
    std::vector<Value> values;
    std::vector<std::u16string> keys;
    for (const std::u16string& key : KnownKeys()) {
        if (KeyExists(key)) keys.push_back(key);
    }
    for (const auto& known : KnownNames()) {
        Value v;
        if (Read(known.first, known.second, &v)) values.push_back(v);
    }
    return Listing(values, keys);
}

// Writes a listing into the area: its keys, even those without values, and its values.
inline void SeedListing(const std::string& listing) {
    std::vector<std::u16string> keys;
    Seed(Parse(listing, &keys));
    for (const std::u16string& key : keys)
        CreateEmptyKey(key);
}

// Compares the area with `expected` over every known key and value name (a key
// is expected exactly when an expected value lies in it or below it, or it is
// one of `empty_keys`). Empty when they agree; otherwise both listings.
inline std::string Diff(const std::vector<Value>& expected,
                        const std::vector<std::u16string>& empty_keys = {}) {
    const std::string want = Listing(expected, empty_keys), got = Dump();
    return want == got ? "" : "expected:\n" + want + "got:\n" + got;
}

}  // namespace ups_area

#endif
