// The simulated registry: a tree of keys below HKEY_LOCAL_MACHINE, key and
// value names compared case-insensitively, handles that carry their access.
#include <map>
#include <memory>

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
constexpr LONG kErrorBadPathname = 161;
constexpr LONG kErrorNoAccess = 998;
constexpr LONG kErrorKeyDeleted = 1018;
constexpr DWORD kKeyCreateSubKey = 0x0004;

struct Value {
    std::u16string name;
    DWORD type = 0;
    std::vector<std::uint8_t> bytes;
};

struct Key {
    std::u16string name;
    std::map<std::u16string, std::shared_ptr<Key>> subkeys;  // by folded name
    std::map<std::u16string, Value> values;                  // by folded name
    bool deleted = false;
};

struct KeyHandle {
    std::shared_ptr<Key> key;
    DWORD access = 0;
};

struct Registry {
    std::shared_ptr<Key> root = std::make_shared<Key>();
    std::map<std::uintptr_t, KeyHandle> handles;
};

Registry& R() {
    static Registry registry;
    return registry;
}

bool ResolveLocked(HKEY handle, KeyHandle* out) {
    if (handle == platform::HKEY_LOCAL_MACHINE) {
        out->key = R().root;
        out->access = platform::KEY_ALL_ACCESS;
        return true;
    }
    auto it = R().handles.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == R().handles.end()) return false;
    *out = it->second;
    return true;
}

HKEY NewHandleLocked(const std::shared_ptr<Key>& key, DWORD access) {
    std::uintptr_t id = NextHandleLocked();
    R().handles[id] = KeyHandle{key, access};
    return reinterpret_cast<HKEY>(id);
}

// Splits a backslash-separated path. An empty or null path names the key
// itself; one trailing backslash is allowed; any other empty part is a bad path.
LONG SplitPath(const std::u16string& path, std::vector<std::u16string>* parts) {
    parts->clear();
    if (path.empty()) return platform::ERROR_SUCCESS;
    std::size_t start = 0;
    while (start < path.size()) {
        std::size_t end = path.find(u'\\', start);
        if (end == std::u16string::npos) end = path.size();
        if (end == start) return kErrorBadPathname;
        parts->push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return platform::ERROR_SUCCESS;
}

std::shared_ptr<Key> FindLocked(std::shared_ptr<Key> key,
                                const std::vector<std::u16string>& parts) {
    for (const std::u16string& part : parts) {
        auto it = key->subkeys.find(Fold(part));
        if (it == key->subkeys.end()) return nullptr;
        key = it->second;
    }
    return key;
}

std::shared_ptr<Key> FindPathLocked(const std::u16string& path) {
    std::vector<std::u16string> parts;
    if (SplitPath(path, &parts) != platform::ERROR_SUCCESS) return nullptr;
    return FindLocked(R().root, parts);
}

// Creates every missing key along parts; *created tells whether the last was new.
std::shared_ptr<Key> CreateLocked(std::shared_ptr<Key> key,
                                  const std::vector<std::u16string>& parts, bool* created) {
    *created = false;
    for (const std::u16string& part : parts) {
        std::shared_ptr<Key>& slot = key->subkeys[Fold(part)];
        *created = !slot;
        if (!slot) {
            slot = std::make_shared<Key>();
            slot->name = part;
        }
        key = slot;
    }
    return key;
}

void MarkDeleted(Key* key) {
    key->deleted = true;
    for (auto& sub : key->subkeys)
        MarkDeleted(sub.second.get());
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

void SnapshotLocked(const Key& key, const std::string& path, std::string* out) {
    *out += "KEY " + path + "\n";
    for (const auto& v : key.values) {
        *out += "VAL " + path + " | " + U8(v.second.name) + " | " + Dec(v.second.type) + " | " +
                Hex(v.second.bytes) + "\n";
    }
    for (const auto& sub : key.subkeys) {
        SnapshotLocked(*sub.second, path + "\\" + U8(sub.second->name), out);
    }
}

std::vector<std::uint8_t> StringBytes(const std::u16string& text) {
    std::vector<std::uint8_t> bytes;
    for (char16_t c : text) {
        bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

}  // namespace

void ResetRegistryLocked() {
    MarkDeleted(R().root.get());
    R().root = std::make_shared<Key>();
    R().handles.clear();
}

void RegSetRawLocked(const std::u16string& path, const std::u16string& name, DWORD type,
                     const std::vector<std::uint8_t>& bytes) {
    std::vector<std::u16string> parts;
    SplitPath(path, &parts);
    bool created = false;
    std::shared_ptr<Key> key = CreateLocked(R().root, parts, &created);
    key->values[Fold(name)] = Value{name, type, bytes};
}

void RegSetStringLocked(const std::u16string& path, const std::u16string& name, DWORD type,
                        const std::u16string& value) {
    RegSetRawLocked(path, name, type, StringBytes(value));
}

void RegDeleteTreeLocked(const std::u16string& path) {
    std::vector<std::u16string> parts;
    if (SplitPath(path, &parts) != platform::ERROR_SUCCESS || parts.empty()) return;
    std::u16string last = parts.back();
    parts.pop_back();
    std::shared_ptr<Key> parent = FindLocked(R().root, parts);
    if (!parent) return;
    auto it = parent->subkeys.find(Fold(last));
    if (it == parent->subkeys.end()) return;
    MarkDeleted(it->second.get());
    parent->subkeys.erase(it);
}

}  // namespace internal

using namespace internal;

void RegSetRaw(const std::u16string& path, const std::u16string& name, DWORD type,
               const std::vector<std::uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(Mutex());
    RegSetRawLocked(path, name, type, bytes);
}

void RegSetString(const std::u16string& path, const std::u16string& name,
                  const std::u16string& value) {
    std::lock_guard<std::mutex> lock(Mutex());
    RegSetStringLocked(path, name, platform::REG_SZ, value);
}

void RegSetDword(const std::u16string& path, const std::u16string& name, DWORD value) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(4);
    for (int i = 0; i < 4; ++i)
        bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    RegSetRaw(path, name, platform::REG_DWORD, bytes);
}

bool RegKeyExists(const std::u16string& path) {
    std::lock_guard<std::mutex> lock(Mutex());
    return FindPathLocked(path) != nullptr;
}

void RegDeleteTree(const std::u16string& path) {
    std::lock_guard<std::mutex> lock(Mutex());
    RegDeleteTreeLocked(path);
}

bool RegGet(const std::u16string& path, const std::u16string& name, RegValue* out) {
    std::lock_guard<std::mutex> lock(Mutex());
    std::shared_ptr<Key> key = FindPathLocked(path);
    if (!key) return false;
    auto it = key->values.find(Fold(name));
    if (it == key->values.end()) return false;
    out->type = it->second.type;
    out->bytes = it->second.bytes;
    return true;
}

std::string RegSnapshot(const std::u16string& path) {
    std::lock_guard<std::mutex> lock(Mutex());
    std::vector<std::u16string> parts;
    if (SplitPath(path, &parts) != platform::ERROR_SUCCESS) return std::string();
    std::shared_ptr<Key> key = R().root;
    std::string stored_path;
    for (const std::u16string& part : parts) {
        auto it = key->subkeys.find(Fold(part));
        if (it == key->subkeys.end()) return std::string();
        key = it->second;
        if (!stored_path.empty()) stored_path += "\\";
        stored_path += U8(key->name);
    }
    std::string out;
    SnapshotLocked(*key, stored_path, &out);
    return out;
}

std::size_t OpenKeyCount() {
    std::lock_guard<std::mutex> lock(Mutex());
    return R().handles.size();
}

}  // namespace sim

namespace platform {

using namespace sim::internal;

// Opens an existing key below an already resolved parent; never creates.
static LONG OpenBelowLocked(const KeyHandle& parent, const WCHAR* path, DWORD access, HKEY* out) {
    if (parent.key->deleted) return kErrorKeyDeleted;
    std::vector<std::u16string> parts;
    LONG result = SplitPath(FromWide(path), &parts);
    if (result != ERROR_SUCCESS) return result;
    std::shared_ptr<Key> key = FindLocked(parent.key, parts);
    if (!key) return ERROR_FILE_NOT_FOUND;
    *out = NewHandleLocked(key, access);
    return ERROR_SUCCESS;
}

LONG RegOpenKeyExW(HKEY root, const WCHAR* path, DWORD /*options*/, DWORD access, HKEY* out) {
    Call call(sim::Op::RegOpenKeyExW);
    if (out == nullptr) return ERROR_INVALID_PARAMETER;
    *out = nullptr;
    if (FailLocked(sim::Op::RegOpenKeyExW)) return FailureCodeLocked();
    KeyHandle parent;
    if (!ResolveLocked(root, &parent)) return kErrorInvalidHandle;
    return OpenBelowLocked(parent, path, access, out);
}

LONG RegOpenKeyW(HKEY root, const WCHAR* path, HKEY* out) {
    Call call(sim::Op::RegOpenKeyW);
    if (out == nullptr) return ERROR_INVALID_PARAMETER;
    if (FailLocked(sim::Op::RegOpenKeyW)) {
        *out = nullptr;
        return FailureCodeLocked();
    }
    KeyHandle parent;
    if (!ResolveLocked(root, &parent)) {
        *out = nullptr;
        return kErrorInvalidHandle;
    }
    // As on Windows, an empty path hands back the very handle passed in.
    if (path == nullptr || path[0] == 0) {
        *out = root;
        return ERROR_SUCCESS;
    }
    *out = nullptr;
    return OpenBelowLocked(parent, path, KEY_ALL_ACCESS, out);
}

LONG RegCreateKeyExW(HKEY root, const WCHAR* path, DWORD reserved, WCHAR* /*klass*/,
                     DWORD /*options*/, DWORD access, void* /*security*/, HKEY* out,
                     DWORD* disposition) {
    Call call(sim::Op::RegCreateKeyExW);
    if (out == nullptr) return ERROR_INVALID_PARAMETER;
    *out = nullptr;
    if (FailLocked(sim::Op::RegCreateKeyExW)) return FailureCodeLocked();
    if (path == nullptr || reserved != 0) return ERROR_INVALID_PARAMETER;
    KeyHandle parent;
    if (!ResolveLocked(root, &parent)) return kErrorInvalidHandle;
    if (parent.key->deleted) return kErrorKeyDeleted;
    std::vector<std::u16string> parts;
    LONG result = SplitPath(FromWide(path), &parts);
    if (result != ERROR_SUCCESS) return result;
    bool created = false;
    std::shared_ptr<Key> key = FindLocked(parent.key, parts);
    if (!key) {
        if ((parent.access & kKeyCreateSubKey) == 0) return ERROR_ACCESS_DENIED;
        key = CreateLocked(parent.key, parts, &created);
    }
    *out = NewHandleLocked(key, access);
    if (disposition != nullptr) {
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    }
    return ERROR_SUCCESS;
}

LONG RegQueryValueExW(HKEY key, const WCHAR* name, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* size) {
    Call call(sim::Op::RegQueryValueExW);
    if (FailLocked(sim::Op::RegQueryValueExW)) return FailureCodeLocked();
    KeyHandle handle;
    if (!ResolveLocked(key, &handle)) return kErrorInvalidHandle;
    if (reserved != nullptr || (data != nullptr && size == nullptr)) return ERROR_INVALID_PARAMETER;
    if ((handle.access & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
    if (handle.key->deleted) return kErrorKeyDeleted;
    auto it = handle.key->values.find(Fold(FromWide(name)));
    if (it == handle.key->values.end()) return ERROR_FILE_NOT_FOUND;
    const Value& value = it->second;
    DWORD needed = static_cast<DWORD>(value.bytes.size());
    if (type != nullptr) *type = value.type;
    if (data != nullptr) {
        if (*size < needed) {
            // The buffer's content is undefined after this failure: scribble it
            // so that no caller comes to rely on it.
            for (DWORD i = 0; i < *size; ++i)
                data[i] = 0xCD;
            *size = needed;
            return ERROR_MORE_DATA;
        }
        for (DWORD i = 0; i < needed; ++i)
            data[i] = value.bytes[i];
    }
    if (size != nullptr) *size = needed;
    return ERROR_SUCCESS;
}

LONG RegSetValueExW(HKEY key, const WCHAR* name, DWORD /*reserved*/, DWORD type, const BYTE* data,
                    DWORD size) {
    Call call(sim::Op::RegSetValueExW);
    if (FailLocked(sim::Op::RegSetValueExW)) return FailureCodeLocked();
    KeyHandle handle;
    if (!ResolveLocked(key, &handle)) return kErrorInvalidHandle;
    if ((handle.access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
    if (handle.key->deleted) return kErrorKeyDeleted;
    if (data == nullptr && size != 0) return kErrorNoAccess;
    std::u16string value_name = FromWide(name);
    Value& value = handle.key->values[Fold(value_name)];
    value.name = value_name;
    value.type = type;
    value.bytes.assign(data, data + size);
    return ERROR_SUCCESS;
}

LONG RegDeleteValueW(HKEY key, const WCHAR* name) {
    Call call(sim::Op::RegDeleteValueW);
    if (FailLocked(sim::Op::RegDeleteValueW)) return FailureCodeLocked();
    KeyHandle handle;
    if (!ResolveLocked(key, &handle)) return kErrorInvalidHandle;
    if ((handle.access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
    if (handle.key->deleted) return kErrorKeyDeleted;
    if (handle.key->values.erase(Fold(FromWide(name))) == 0) return ERROR_FILE_NOT_FOUND;
    return ERROR_SUCCESS;
}

LONG RegDeleteKeyW(HKEY root, const WCHAR* path) {
    Call call;
    KeyHandle parent;
    if (!ResolveLocked(root, &parent)) return kErrorInvalidHandle;
    std::vector<std::u16string> parts;
    LONG result = SplitPath(FromWide(path), &parts);
    if (result != ERROR_SUCCESS) return result;
    if (parts.empty()) return ERROR_INVALID_PARAMETER;
    std::u16string last = parts.back();
    parts.pop_back();
    std::shared_ptr<Key> owner = FindLocked(parent.key, parts);
    if (!owner) return ERROR_FILE_NOT_FOUND;
    auto it = owner->subkeys.find(Fold(last));
    if (it == owner->subkeys.end()) return ERROR_FILE_NOT_FOUND;
    if (!it->second->subkeys.empty()) return ERROR_ACCESS_DENIED;
    it->second->deleted = true;
    owner->subkeys.erase(it);
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) {
    Call call;
    if (key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
    if (R().handles.erase(reinterpret_cast<std::uintptr_t>(key)) == 0) return kErrorInvalidHandle;
    return ERROR_SUCCESS;
}

}  // namespace platform
