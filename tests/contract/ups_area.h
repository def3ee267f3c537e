// Test helpers for the UPS service's registry area, written on the portable
// registry calls only, so the same code runs on the simulation and, in the
// Windows test programs, on the real registry.
//
// Keys are named relative to "SYSTEM\CurrentControlSet\Services\UPS": ""
// is the UPS key itself, "Config", "Status", "ServiceProviders\Vantrell"...
//
// A state of the area reads as a listing (tests/contract/areas/<name>.txt),
// one line per key that exists and per value in it, in the fixed order of
// the listing "layout", so that a listing and a dump of the area compare as
// text:
//   [Config]               the key (the UPS key itself: "[]")
//   Vendor=sz:(NONE)       a REG_SZ value of printable ASCII and its terminator
//   Options=dword:0x7e     a REG_DWORD value of four bytes
//   Model=hex(1):41 00 42  any other value: its type and bytes
#ifndef QELN_TESTS_CONTRACT_UPS_AREA_H
#define QELN_TESTS_CONTRACT_UPS_AREA_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
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

// ASCII view of wide text ('?' for the rest).
inline std::string Narrow(const std::u16string& text) {
    std::string out;
    for (char16_t c : text)
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
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
    std::string line = Narrow(v.name) + (plain ? "=sz:" + Narrow(text) : "=");
    char cell[16];
    if (!plain && v.type == platform::REG_DWORD && v.bytes.size() == 4) {
        std::snprintf(cell, sizeof(cell), "0x%x",
                      v.bytes[0] | v.bytes[1] << 8 | v.bytes[2] << 16 | unsigned{v.bytes[3]} << 24);
        return line + "dword:" + cell;
    }
    if (!plain) line += "hex(" + std::to_string(v.type) + "):";
    for (std::size_t i = 0; !plain && i < v.bytes.size(); ++i) {
        std::snprintf(cell, sizeof(cell), i == 0 ? "%02x" : " %02x", v.bytes[i]);
        line += cell;
    }
    return line;
}

inline std::u16string Path(const std::u16string& key) {
    return u"SYSTEM\\CurrentControlSet\\Services\\UPS" + (key.empty() ? u"" : u"\\" + key);
}

// Opens (or, with `create`, creates with the keys above it) a key of the area.
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

// The values of a listing; the keys it names go to `keys` when given.
inline std::vector<Value> Parse(const std::string& listing,
                                std::vector<std::u16string>* keys = nullptr) {
    std::vector<Value> values;
    std::u16string key;
    std::istringstream lines(listing);
    for (std::string line; std::getline(lines, line);) {
        if (line[0] == '[') {
            key.assign(line.begin() + 1, line.end() - 1);
            if (keys != nullptr) keys->push_back(key);
            continue;
        }
        const std::size_t equals = line.find('='), colon = line.find(':', equals);
        const std::string kind = line.substr(equals + 1, colon - equals - 1);
        const std::string data = line.substr(colon + 1);
        Value v{key, std::u16string(line.begin(), line.begin() + equals), platform::REG_SZ,
                Sz(std::u16string(data.begin(), data.end()))};
        if (kind == "dword") {
            const unsigned long d = std::stoul(data, nullptr, 16);
            v.type = platform::REG_DWORD;
            v.bytes = {std::uint8_t(d), std::uint8_t(d >> 8), std::uint8_t(d >> 16),
                       std::uint8_t(d >> 24)};
        }
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
        if (!line.empty() && line[0] != '#') text += line + "\n";
    }
    return text;
}

// The keys of the listing "layout": every key the host may create or touch
// in the area, parents first; its values name every value the host may
// write, read or delete there.
inline std::vector<std::u16string> LayoutKeys(std::vector<Value>* names = nullptr) {
    std::vector<std::u16string> keys;
    const std::vector<Value> values = Parse(File("layout"), &keys);
    if (names != nullptr) *names = values;
    return keys;
}

// Removes the whole area (the layout's keys, leaves first).
inline void Clear() {
    const std::vector<std::u16string> keys = LayoutKeys();
    for (auto key = keys.rbegin(); key != keys.rend(); ++key)
        platform::RegDeleteKeyW(platform::HKEY_LOCAL_MACHINE, Path(*key).c_str());
}

// The listing of the area as it is, over the layout's keys and value names.
inline std::string Dump() {
    std::vector<Value> names;
    std::string out;
    for (const std::u16string& key : LayoutKeys(&names)) {
        const platform::KeyOwner handle = OpenKey(key);
        if (!handle) continue;
        out += "[" + Narrow(key) + "]\n";
        for (Value& v : names) {
            Bytes bytes(65536);
            platform::DWORD type = 0, size = 65536;
            if (v.key != key || platform::RegQueryValueExW(handle.get(), v.name.c_str(), nullptr,
                                                           &type, bytes.data(), &size) != 0)
                continue;
            v.type = type;
            v.bytes.assign(bytes.begin(), bytes.begin() + size);
            out += Describe(v) + "\n";
        }
    }
    return out;
}

// Writes a listing into the area: its keys, even those without values, and its values.
inline void SeedListing(const std::string& listing) {
    std::vector<std::u16string> keys;
    Seed(Parse(listing, &keys));
    for (const std::u16string& key : keys)
        OpenKey(key, true);
}

// Each road of the first-start priming (the listing "roads"), from a cleared
// area: seeds its area, calls `start(1)`, compares the area with the one
// after it, writes the area between the starts if it has one, calls
// `start(2)` and compares again.
template <typename Start>
void EachRoad(Start start) {
    std::istringstream roads(File("roads"));
    for (std::string before, after, between; roads >> before >> after >> between;) {
        SCOPED_TRACE("road from " + before + " to " + after);
        Clear();
        ASSERT_EQ("", Dump()) << "the UPS area could not be removed";
        if (before != "-") SeedListing(File(before));
        for (int n = 1; n <= 2 && !::testing::Test::HasFatalFailure(); ++n) {
            start(n);
            EXPECT_EQ(File(n == 2 && between != "-" ? between : after), Dump()) << "start " << n;
            if (n == 1 && between != "-") {
                Clear();
                SeedListing(File(between));
            }
        }
    }
    Clear();
}

}  // namespace ups_area

#endif
