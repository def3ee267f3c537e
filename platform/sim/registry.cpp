// The simulated registry: keys by folded full path below HKEY_LOCAL_MACHINE,
// each with its values by folded name; handles that carry their access.
#include <map>

#include "platform/sim/internal.h"

namespace platform {
// Only its address matters: it is the root handle's value.
struct KeyObject {
    int unused;
};
}  // namespace platform

namespace {
platform::KeyObject g_root_tag = {0};
}

namespace platform {
HKEY const HKEY_LOCAL_MACHINE = &g_root_tag;
}

namespace sim {
namespace internal {
namespace {

using platform::BYTE;
using platform::HKEY;
using platform::LONG;
using platform::WCHAR;

constexpr LONG kErrorInvalidHandle = 6;
constexpr LONG kErrorKeyDeleted = 1018;

struct Value {
    std::u16string name;
    DWORD type = 0;
    std::vector<std::uint8_t> bytes;
};

struct Key {
    std::u16string path;                     // as first created
    std::map<std::u16string, Value> values;  // by folded name
};

struct Handle {
    std::u16string key;  // folded path; "" is the root
    DWORD access = 0;
};

struct Registry {
    std::map<std::u16string, Key> keys;  // by folded path
    std::map<std::uintptr_t, Handle> handles;
};

Registry& R() {
    static Registry registry;
    return registry;
}

// The path of `sub` below the key of `root`, as given and folded; false for
// an unknown handle.
bool PathBelow(HKEY root, const WCHAR* sub, std::u16string* path, Handle* parent) {
    if (root == platform::HKEY_LOCAL_MACHINE) {
        *parent = Handle{u"", platform::KEY_ALL_ACCESS};
    } else {
        auto it = R().handles.find(reinterpret_cast<std::uintptr_t>(root));
        if (it == R().handles.end()) return false;
        *parent = it->second;
    }
    const std::u16string below = FromWide(sub);
    auto key = R().keys.find(parent->key);
    const std::u16string base = key == R().keys.end() ? u"" : key->second.path;
    *path = base.empty() || below.empty() ? base + below : base + u"\\" + below;
    return true;
}

// Creates every missing key along `path`; true when the last one was new.
bool CreateLocked(const std::u16string& path) {
    bool created = false;
    for (std::size_t end = 0; end != std::u16string::npos;) {
        end = path.find(u'\\', end + 1);
        const std::u16string prefix = path.substr(0, end);
        created = R().keys.count(Fold(prefix)) == 0;
        if (created) R().keys[Fold(prefix)].path = prefix;
    }
    return created;
}

HKEY NewHandleLocked(const std::u16string& path, DWORD access) {
    const std::uintptr_t id = NextHandleLocked();
    R().handles[id] = Handle{Fold(path), access};
    return reinterpret_cast<HKEY>(id);
}

// The key behind a handle, checked for the access `needed`; null with the
// error in *result otherwise.
Key* KeyOf(HKEY key, DWORD needed, LONG* result) {
    auto it = R().handles.find(reinterpret_cast<std::uintptr_t>(key));
    *result = it == R().handles.end()               ? kErrorInvalidHandle
              : (it->second.access & needed) == 0   ? platform::ERROR_ACCESS_DENIED
              : R().keys.count(it->second.key) == 0 ? kErrorKeyDeleted
                                                    : platform::ERROR_SUCCESS;
    return *result == platform::ERROR_SUCCESS ? &R().keys[it->second.key] : nullptr;
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0) out += ' ';
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

}  // namespace

void ResetRegistryLocked() {
    R() = Registry();
}

std::size_t OpenKeysLocked() {
    return R().handles.size();
}

}  // namespace internal

using namespace internal;

void RegSetRaw(const std::u16string& path, const std::u16string& name, DWORD type,
               const std::vector<std::uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(Mutex());
    CreateLocked(path);
    R().keys[Fold(path)].values[Fold(name)] = Value{name, type, bytes};
}

std::string RegSnapshot(const std::u16string& path) {
    std::lock_guard<std::mutex> lock(Mutex());
    const std::u16string folded = Fold(path);
    std::string out;
    for (const auto& k : R().keys) {
        if (k.first != folded && k.first.compare(0, folded.size() + 1, folded + u"\\") != 0) {
            continue;
        }
        out += "KEY " + U8(k.second.path) + "\n";
        for (const auto& v : k.second.values) {
            out += "VAL " + U8(k.second.path) + " | " + U8(v.second.name) + " | " +
                   Dec(v.second.type) + " | " + Hex(v.second.bytes) + "\n";
        }
    }
    return out;
}

}  // namespace sim

namespace platform {

using namespace sim::internal;

LONG RegOpenKeyExW(HKEY root, const WCHAR* path, DWORD /*options*/, DWORD access, HKEY* out) {
    Call call(sim::Op::RegOpenKeyExW);
    *out = nullptr;
    if (FailLocked(sim::Op::RegOpenKeyExW)) return ERROR_ACCESS_DENIED;
    std::u16string full;
    Handle parent;
    if (!PathBelow(root, path, &full, &parent)) return kErrorInvalidHandle;
    if (full.empty() || R().keys.count(Fold(full)) == 0) return ERROR_FILE_NOT_FOUND;
    *out = NewHandleLocked(full, access);
    return ERROR_SUCCESS;
}

LONG RegOpenKeyW(HKEY root, const WCHAR* path, HKEY* out) {
    {
        std::lock_guard<std::mutex> lock(Mutex());
        if (FailLocked(sim::Op::RegOpenKeyW)) {
            *out = nullptr;
            return ERROR_ACCESS_DENIED;
        }
    }
    return RegOpenKeyExW(root, path, 0, KEY_ALL_ACCESS, out);
}

LONG RegCreateKeyExW(HKEY root, const WCHAR* path, DWORD /*reserved*/, WCHAR* /*klass*/,
                     DWORD /*options*/, DWORD access, void* /*security*/, HKEY* out,
                     DWORD* disposition) {
    Call call(sim::Op::RegCreateKeyExW);
    *out = nullptr;
    if (FailLocked(sim::Op::RegCreateKeyExW)) return ERROR_ACCESS_DENIED;
    std::u16string full;
    Handle parent;
    if (!PathBelow(root, path, &full, &parent)) return kErrorInvalidHandle;
    if (full.empty()) return ERROR_INVALID_PARAMETER;
    const bool created = CreateLocked(full);
    *out = NewHandleLocked(full, access);
    if (disposition != nullptr)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

LONG RegQueryValueExW(HKEY key, const WCHAR* name, DWORD* /*reserved*/, DWORD* type, BYTE* data,
                      DWORD* size) {
    Call call(sim::Op::RegQueryValueExW);
    if (FailLocked(sim::Op::RegQueryValueExW)) return ERROR_ACCESS_DENIED;
    LONG result = ERROR_SUCCESS;
    Key* k = KeyOf(key, KEY_QUERY_VALUE, &result);
    if (k == nullptr) return result;
    auto it = k->values.find(Fold(FromWide(name)));
    if (it == k->values.end()) return ERROR_FILE_NOT_FOUND;
    const std::vector<std::uint8_t>& bytes = it->second.bytes;
    const DWORD needed = static_cast<DWORD>(bytes.size());
    if (type != nullptr) *type = it->second.type;
    if (data != nullptr && *size < needed) {
        // The buffer's content is undefined after this failure: scribble it,
        // so that no caller comes to rely on it.
        for (DWORD i = 0; i < *size; ++i)
            data[i] = 0xCD;
        result = ERROR_MORE_DATA;
    } else if (data != nullptr) {
        std::copy(bytes.begin(), bytes.end(), data);
    }
    if (size != nullptr) *size = needed;
    return result;
}

LONG RegSetValueExW(HKEY key, const WCHAR* name, DWORD /*reserved*/, DWORD type, const BYTE* data,
                    DWORD size) {
    Call call(sim::Op::RegSetValueExW);
    if (FailLocked(sim::Op::RegSetValueExW)) return ERROR_ACCESS_DENIED;
    LONG result = ERROR_SUCCESS;
    Key* k = KeyOf(key, KEY_SET_VALUE, &result);
    if (k == nullptr) return result;
    const std::u16string value_name = FromWide(name);
    k->values[Fold(value_name)] = Value{value_name, type, {data, data + (data ? size : 0)}};
    return ERROR_SUCCESS;
}

LONG RegDeleteValueW(HKEY key, const WCHAR* name) {
    Call call(sim::Op::RegDeleteValueW);
    if (FailLocked(sim::Op::RegDeleteValueW)) return ERROR_ACCESS_DENIED;
    LONG result = ERROR_SUCCESS;
    Key* k = KeyOf(key, KEY_SET_VALUE, &result);
    if (k == nullptr) return result;
    return k->values.erase(Fold(FromWide(name))) != 0 ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

LONG RegDeleteKeyW(HKEY root, const WCHAR* path) {
    Call call;
    std::u16string full;
    Handle parent;
    if (!PathBelow(root, path, &full, &parent)) return kErrorInvalidHandle;
    const std::u16string folded = Fold(full);
    auto it = R().keys.find(folded);
    if (full.empty() || it == R().keys.end()) return ERROR_FILE_NOT_FOUND;
    auto sub = R().keys.lower_bound(folded + u"\\");
    if (sub != R().keys.end() && sub->first.compare(0, folded.size() + 1, folded + u"\\") == 0) {
        return ERROR_ACCESS_DENIED;  // only a leaf key
    }
    R().keys.erase(it);
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) {
    Call call;
    return R().handles.erase(reinterpret_cast<std::uintptr_t>(key)) != 0 ? ERROR_SUCCESS
                                                                         : kErrorInvalidHandle;
}

}  // namespace platform
