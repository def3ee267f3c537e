#include "service/exposure.h"

#include <initializer_list>

#include "platform/owned.h"

using namespace platform;

namespace {

constexpr DWORD kWriteData = 0x2, kAppendData = 0x4, kDeleteChild = 0x40, kDelete = 0x10000,
                kWriteDac = 0x40000, kWriteOwner = 0x80000, kGenericAll = 0x10000000,
                kGenericWrite = 0x40000000;
constexpr DWORD kOnEither = kDelete | kWriteDac | kWriteOwner | kGenericWrite | kGenericAll;
constexpr BYTE kAccessAllowed = 0, kAccessAllowedCallback = 9, kInheritOnly = 0x8;

// The rights as the warnings name them, in their order.
const struct {
    DWORD mask;
    const WCHAR* name;
} kRights[] = {
    {kGenericAll, u"all"},
    {kGenericWrite, u"write"},
    {kWriteData, u"write data"},
    {kAppendData, u"append data"},
    {kDeleteChild, u"delete child"},
    {kDelete, u"delete"},
    {kWriteDac, u"change permissions"},
    {kWriteOwner, u"take ownership"},
};

// A group by its SID S-1-<authority>-<first>-...-<last>, with `count`
// sub-authorities: Domain Users is S-1-5-21-<domain>-513 in every domain.
const struct {
    const WCHAR* name;
    BYTE authority, count;
    DWORD first, last;
} kGroups[kOrdinaryGroups] = {
    {u"Everyone", 1, 1, 0, 0},        {u"Authenticated Users", 5, 1, 11, 11},
    {u"Users", 5, 2, 32, 545},        {u"Interactive", 5, 1, 4, 4},
    {u"Anonymous Logon", 5, 1, 7, 7}, {u"Guests", 5, 2, 32, 546},
    {u"Power Users", 5, 2, 32, 547},  {u"Domain Users", 5, 5, 21, 513},
};

DWORD Read32(const BYTE* at) {
    return at[0] | at[1] << 8 | at[2] << 16 | static_cast<DWORD>(at[3]) << 24;
}

// Whether the SID at `sid`, within `room` bytes, is the group's.
bool IsGroup(const BYTE* sid, DWORD room, int group) {
    const auto& g = kGroups[group];
    if (room < 12 || sid[0] != 1 || sid[1] != g.count || room < 8 + 4u * g.count) return false;
    for (int i = 2; i < 7; ++i)
        if (sid[i] != 0) return false;
    return sid[7] == g.authority && Read32(sid + 8) == g.first &&
           Read32(sid + 4 + std::size_t{4} * g.count) == g.last;
}

// Where the walk up `path` ends: the length of its root, "C:\" or
// "\\server\share\" (also after "\\?\" and "\\?\UNC\"); 0 when it has none.
std::size_t RootLength(const WCHAR* path) {
    const WCHAR unc_long[] = u"\\\\?\\UNC\\";
    std::size_t unc = path[0] == u'\\' && path[1] == u'\\' ? 4 : 0;
    for (std::size_t i = 0; unc != 0 && unc_long[i] == path[i]; ++i)
        if (unc_long[i + 1] == 0) unc = 6;
    std::size_t backslashes = 0;
    for (std::size_t i = 0; path[i] != 0; ++i) {
        if (path[i] != u'\\') continue;
        if (++backslashes == unc || (i > 0 && path[i - 1] == u':')) return i + 1;
    }
    return 0;
}

void Say(const WCHAR* a, const WCHAR* b = nullptr, const WCHAR* c = nullptr,
         const WCHAR* d = nullptr) {
    for (const WCHAR* part : {a, b, c, d})
        if (part != nullptr) ConsoleWrite(STD_ERROR_HANDLE, part);
}

// The warnings for one object: `shown` as it is named, `opened` as it is
// asked for (a directory but the root without its backslash).
void WarnAbout(const WCHAR* shown, const WCHAR* opened, bool directory, const WCHAR* program) {
    ACL* dacl = nullptr;
    LocalOwner descriptor;
    const DWORD error = GetNamedSecurityInfoW(opened, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                              nullptr, nullptr, &dacl, nullptr, descriptor.put());
    if (error != ERROR_SUCCESS) {
        WCHAR digits[11];
        Say(u"Warning: who may change ", shown, u" cannot be read (error ",
            WideDecimal(error, digits));
        Say(u"): ordinary users might replace ", program, u", which runs as LocalSystem.\n");
        return;
    }
    for (int group = 0; group < kOrdinaryGroups; ++group) {
        const DWORD rights = ReplacingRights(dacl, directory, group);
        if (rights == 0) continue;
        Say(u"Warning: ", kGroups[group].name, u" can change ", shown);
        const WCHAR* separator = u" (";
        for (const auto& right : kRights) {
            if ((rights & right.mask) == 0) continue;
            Say(separator, right.name);
            separator = u", ";
        }
        Say(u"): any of them could replace ", program, u", which runs as LocalSystem.\n");
    }
}

}  // namespace

const WCHAR* OrdinaryGroupName(int group) {
    return kGroups[group].name;
}

DWORD ReplacingRights(const ACL* dacl, bool directory, int group) {
    if (dacl == nullptr) return group == 0 ? kGenericAll : 0;
    const DWORD relevant = kOnEither | (directory ? kDeleteChild : kWriteData | kAppendData);
    const BYTE* const bytes = reinterpret_cast<const BYTE*>(dacl);
    DWORD rights = 0, at = sizeof(ACL);
    for (DWORD n = 0; n < dacl->AceCount && at + 8 <= dacl->AclSize; ++n) {
        const BYTE* const entry = bytes + at;
        const DWORD size = entry[2] | entry[3] << 8;
        if (size < 8 || at + size > dacl->AclSize) break;
        if ((entry[0] == kAccessAllowed || entry[0] == kAccessAllowedCallback) &&
            (entry[1] & kInheritOnly) == 0 && IsGroup(entry + 8, size - 8, group))
            rights |= Read32(entry + 4) & relevant;
        at += size;
    }
    return rights;
}

void WarnWhoCouldReplace(const WCHAR* path) {
    WideOwner object(WideConcat(path));
    if (!object) {
        WCHAR digits[11];
        Say(u"Warning: who may change ", path, u" cannot be read (error ",
            WideDecimal(ERROR_NOT_ENOUGH_MEMORY, digits));
        Say(u"): ordinary users might replace it, which runs as LocalSystem.\n");
        return;
    }
    WCHAR* const text = object.get();
    std::size_t end = WideLength(text);
    const std::size_t root = RootLength(text);
    std::size_t name = end;
    while (name > 0 && text[name - 1] != u'\\')
        --name;
    WarnAbout(text, text, false, path + name);
    // Each directory above it in turn, cut at its backslash; shown with it.
    for (end = name; end > 0 && end >= root;) {
        const bool at_root = end == root;
        text[end] = 0;
        text[end - 1] = at_root ? u'\\' : 0;
        WideOwner shown(at_root ? nullptr : WideConcat(text, u"\\"));
        WarnAbout(shown ? shown.get() : text, text, true, path + name);
        if (at_root) break;
        while (--end > 0 && text[end - 1] != u'\\') {
        }
    }
}
