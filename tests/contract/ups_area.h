// Test helpers for the UPS service's registry area, written on the portable
// registry calls only, so the same code runs on the simulation and, in the
// Windows test programs, on the real registry.
//
// Keys are named relative to "SYSTEM\CurrentControlSet\Services\UPS": ""
// is the UPS key itself, "Config", "Status", "ServiceProviders\Vantrell"...
#ifndef QELN_TESTS_CONTRACT_UPS_AREA_H
#define QELN_TESTS_CONTRACT_UPS_AREA_H

#include <cstdint>
#include <cstdio>
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

inline const std::u16string& UpsPath() {
    static const std::u16string path = u"SYSTEM\\CurrentControlSet\\Services\\UPS";
    return path;
}

inline std::u16string FullPath(const std::u16string& key) {
    return key.empty() ? UpsPath() : UpsPath() + u"\\" + key;
}

// A REG_SZ image: the text, little-endian, and (unless told otherwise) its terminator.
inline Bytes Sz(const std::u16string& text, bool terminated = true) {
    Bytes out;
    for (char16_t c : text) {
        out.push_back(static_cast<std::uint8_t>(c & 0xFF));
        out.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    if (terminated) out.insert(out.end(), {0, 0});
    return out;
}

inline Bytes Dw(std::uint32_t value) {
    return Bytes{static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                 static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

inline Value SzValue(const std::u16string& key, const std::u16string& name,
                     const std::u16string& text) {
    return Value{key, name, platform::REG_SZ, Sz(text)};
}

inline Value DwValue(const std::u16string& key, const std::u16string& name, std::uint32_t v) {
    return Value{key, name, platform::REG_DWORD, Dw(v)};
}

// `values` with each of `more` in place of the value of the same key and name,
// or added.
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

// ASCII view of wide text for messages.
inline std::string Narrow(const std::u16string& text) {
    std::string out;
    for (char16_t c : text)
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

inline std::string Hex(const Bytes& bytes) {
    std::string out;
    char cell[4];
    for (std::uint8_t b : bytes) {
        std::snprintf(cell, sizeof(cell), "%02x ", b);
        out += cell;
    }
    return out.empty() ? "(empty)" : out.substr(0, out.size() - 1);
}

inline std::string Describe(const Value& v) {
    return "[" + Narrow(v.key) + "] \"" + Narrow(v.name) + "\" type " + std::to_string(v.type) +
           " size " + std::to_string(v.bytes.size()) + ": " + Hex(v.bytes);
}

// Every key the host may create or touch in the area, children before parents.
inline const std::vector<std::u16string>& KnownKeys() {
    static const std::vector<std::u16string> keys = {u"ServiceProviders\\(None)",
                                                     u"ServiceProviders\\Generic",
                                                     u"ServiceProviders\\Vantrell",
                                                     u"ServiceProviders",
                                                     u"Config",
                                                     u"Status",
                                                     u""};
    return keys;
}

// Every value name the host may write, read or delete in the area, by key.
inline const std::vector<std::pair<std::u16string, std::u16string>>& KnownNames() {
    static const std::vector<std::pair<std::u16string, std::u16string>> names = [] {
        const std::vector<std::pair<std::u16string, std::vector<std::u16string>>> by_key = {
            {u"",
             {u"Port", u"Options", u"FirstMessageDelay", u"MessageInterval", u"ShutdownWait",
              u"HideUPSPane", u"BatteryLife"}},
            {u"Config",
             {u"Vendor", u"Model", u"ServiceProviderDLL", u"NotifyEnable",
              u"ShutdownOnBatteryEnable", u"ShutdownOnBatteryWait", u"RunTaskEnable", u"TaskName",
              u"TurnUPSOffEnable", u"CustomOptions", u"VTLLinkURL", u"Upgrade",
              u"CriticalPowerAction", u"TurnUPSOffWait"}},
            {u"Status",
             {u"SerialNumber", u"FirmwareRev", u"UtilityPowerStatus", u"TotalUPSRuntime",
              u"BatteryStatus", u"CommStatus", u"BatteryCapacity"}},
            {u"ServiceProviders\\(None)", {u""}},
            {u"ServiceProviders\\Generic", {u"Custom"}},
            {u"ServiceProviders\\Vantrell",
             {u"Dovrin", u"Dovrin Max", u"Simple Port on Interface Card",
              u"Simple signaling to any VTL unit", u"Tessal", u"Corvik", u"Halvane",
              u"Full signaling to any VTL unit", u"Quarn Rack"}},
        };
        std::vector<std::pair<std::u16string, std::u16string>> all;
        for (const auto& key : by_key) {
            for (const std::u16string& name : key.second)
                all.emplace_back(key.first, name);
        }
        return all;
    }();
    return names;
}

// Opens (or, with `create`, creates) a key of the area.
inline platform::KeyOwner OpenKey(const std::u16string& key, bool create = false) {
    platform::KeyOwner handle;
    platform::DWORD disposition = 0;
    if (create) {
        platform::RegCreateKeyExW(platform::HKEY_LOCAL_MACHINE, FullPath(key).c_str(), 0, nullptr,
                                  0, platform::KEY_SET_VALUE, nullptr, handle.put(), &disposition);
    } else {
        platform::RegOpenKeyExW(platform::HKEY_LOCAL_MACHINE, FullPath(key).c_str(), 0,
                                platform::KEY_QUERY_VALUE, handle.put());
    }
    return handle;
}

inline bool KeyExists(const std::u16string& key) {
    return static_cast<bool>(OpenKey(key));
}

// Reads one value exactly as stored; false when its key or the value is absent.
inline bool Read(const std::u16string& key, const std::u16string& name, Value* out) {
    const platform::KeyOwner handle = OpenKey(key);
    platform::DWORD type = 0;
    platform::DWORD size = 0;
    if (!handle || platform::RegQueryValueExW(handle.get(), name.c_str(), nullptr, &type, nullptr,
                                              &size) != platform::ERROR_SUCCESS) {
        return false;
    }
    Bytes bytes(size + 1);  // never a zero-sized buffer
    platform::DWORD read = size;
    if (size > 0 && (platform::RegQueryValueExW(handle.get(), name.c_str(), nullptr, &type,
                                                bytes.data(), &read) != platform::ERROR_SUCCESS ||
                     read != size)) {
        return false;
    }
    bytes.resize(size);
    *out = Value{key, name, type, bytes};
    return true;
}

// Writes the values, creating their keys on the way.
inline void Seed(const std::vector<Value>& values) {
    for (const Value& v : values) {
        const platform::KeyOwner handle = OpenKey(v.key, true);
        if (!handle) continue;
        // Two non-zero bytes behind the data: handed a string without its
        // terminator, RegSetValueExW stores one character more when the one
        // past the given size reads as a terminator.
        Bytes guarded = v.bytes;
        guarded.push_back(0xFF);
        guarded.push_back(0xFF);
        platform::RegSetValueExW(handle.get(), v.name.c_str(), 0, v.type,
                                 v.bytes.empty() ? nullptr : guarded.data(),
                                 static_cast<platform::DWORD>(v.bytes.size()));
    }
}

// Creates a key (and the keys above it) without any value.
inline void CreateEmptyKey(const std::u16string& key) {
    OpenKey(key, true);
}

// Removes the whole area (the known keys, leaves first).
inline void Clear() {
    for (const std::u16string& key : KnownKeys()) {
        platform::RegDeleteKeyW(platform::HKEY_LOCAL_MACHINE, FullPath(key).c_str());
    }
}

// Compares the area with `expected` over every known value name and every
// known key (a key is expected exactly when an expected value lies in it or
// below it, or it is one of `empty_keys`). Returns one line per difference;
// empty when they agree.
inline std::string Diff(const std::vector<Value>& expected,
                        const std::vector<std::u16string>& empty_keys = {}) {
    std::string report;
    for (const auto& known : KnownNames()) {
        const Value* want = nullptr;
        for (const Value& v : expected) {
            if (v.key == known.first && v.name == known.second) want = &v;
        }
        Value got;
        const bool present = Read(known.first, known.second, &got);
        if (want == nullptr && present) {
            report += "unexpected " + Describe(got) + "\n";
        } else if (want != nullptr && !present) {
            report += "missing " + Describe(*want) + "\n";
        } else if (want != nullptr && (got.type != want->type || got.bytes != want->bytes)) {
            report += "expected " + Describe(*want) + "\n     got " + Describe(got) + "\n";
        }
    }
    for (const std::u16string& key : KnownKeys()) {
        bool wanted = false;
        for (const std::u16string& empty : empty_keys) {
            if (empty == key) wanted = true;
        }
        for (const Value& v : expected) {
            if (key.empty() || v.key == key || v.key.compare(0, key.size() + 1, key + u"\\") == 0) {
                wanted = true;
            }
        }
        if (KeyExists(key) != wanted) {
            report += "key [" + Narrow(key) + "] " + (wanted ? "missing" : "unexpected") + "\n";
        }
    }
    return report;
}

}  // namespace ups_area

#endif
