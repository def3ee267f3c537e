// What the host relies on from the platform where the simulation stands in
// for it, checked the same way on the simulation and on Windows (under Wine):
// key creation's disposition, stored and queried value bytes, the switch
// comparison, a cut module path, the dispatcher outside the SCM, and the heap
// taking back what is released.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/owned.h"
#include "platform/platform.h"
#include "tests/contract/ups_area.h"

namespace {

using namespace platform;
using ups_area::Bytes;

const WCHAR kBase[] = u"SOFTWARE\\QelnContract";
const WCHAR kSub[] = u"SOFTWARE\\QelnContract\\A";

DWORD Create(const WCHAR* path, KeyOwner* key) {
    DWORD disposition = 0xdeadbeef;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_SET_VALUE, nullptr, key->put(), &disposition),
              ERROR_SUCCESS);
    return disposition;
}

// Creation makes every missing key and tells a new key from an existing one
// (the priming's upgrade detection rests on it). Values keep their type and
// bytes, and string data handed without its terminator gains one only when the WCHAR past it is 0;
// through a handle of RegOpenKeyW, a query without a buffer tells the size, and one with too small
// a buffer fails with the size and writes nothing beyond the buffer.
TEST(RegistryContract, CreateTellsNewFromExistingAndValuesKeepTheirBytes) {
    for (const WCHAR* key : {kSub, kBase})  // what an earlier run left
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, key);
    const struct {
        const WCHAR* name;
        DWORD type;
        Bytes given, after, stored;  // after: the bytes behind the given size
    } cases[] = {
        {u"Text", REG_SZ, ups_area::Sz(u"C:\\app.exe"), {}, ups_area::Sz(u"C:\\app.exe")},
        {u"Empty", REG_SZ, {}, {u'z', 0}, {}},
        {u"Short", REG_DWORD, {0x2A, 0}, {0, 0}, {0x2A, 0}},
        {u"Exact", REG_SZ, {u'a', 0, u'b', 0}, {u'z', 0}, {u'a', 0, u'b', 0}},
        {u"Gains", REG_SZ, {u'a', 0, u'b', 0}, {0, 0}, {u'a', 0, u'b', 0, 0, 0}},
    };
    KeyOwner writer;
    EXPECT_EQ(Create(kSub, &writer), REG_CREATED_NEW_KEY);
    EXPECT_EQ(Create(u"software\\qelncontract\\a", &writer), REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(Create(kBase, &writer), REG_OPENED_EXISTING_KEY) << "the parent was created";
    for (const auto& c : cases) {
        Bytes data = c.given;
        data.insert(data.end(), c.after.begin(), c.after.end());
        ASSERT_EQ(RegSetValueExW(writer.get(), c.name, 0, c.type, data.data(),
                                 static_cast<DWORD>(c.given.size())),
                  ERROR_SUCCESS);
    }
    KeyOwner reader;
    ASSERT_EQ(RegOpenKeyW(HKEY_LOCAL_MACHINE, kBase, reader.put()), ERROR_SUCCESS);
    for (const auto& c : cases) {
        SCOPED_TRACE(ups_area::Narrow(c.name));
        const DWORD want = static_cast<DWORD>(c.stored.size());
        DWORD type = 0xdeadbeef, size = 0xdeadbeef;
        ASSERT_EQ(RegQueryValueExW(reader.get(), c.name, nullptr, &type, nullptr, &size),
                  ERROR_SUCCESS);
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(size, want);
        for (DWORD capacity : {want, want / 2}) {
            Bytes buffer(want + 8, 0x5A);
            size = capacity;
            EXPECT_EQ(
                RegQueryValueExW(reader.get(), c.name, nullptr, nullptr, buffer.data(), &size),
                capacity == want ? ERROR_SUCCESS : ERROR_MORE_DATA);
            EXPECT_EQ(size, want);
            if (capacity == want) {
                EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + want), c.stored);
            }
            for (std::size_t i = capacity; i < buffer.size(); ++i)
                ASSERT_EQ(buffer[i], 0x5A) << "written beyond the buffer at " << i;
        }
    }
}

// The switches are compared for equality, folding only ASCII letters; a cut
// module path comes back with the capacity as result, never written past it
// (the naming grows its buffer on it); outside the SCM the dispatcher fails at
// once, so a run without a switch returns.
TEST(ProcessContract, SwitchesModulePathAndDispatcher) {
    const char* pairs[][3] = {
        {"install", "INSTALL", ""}, {"\xC4x", "\xC4X", ""}, {"installx", "install", "differ"},
        {"", "install", "differ"},  {"_", "A", "differ"},   {"\xC4", "\xE4", "differ"}};
    for (const auto& c : pairs)
        EXPECT_EQ(platform::_stricmp(c[0], c[1]) != 0, c[2][0] != 0) << c[0] << " " << c[1];

    std::vector<WCHAR> full(MAX_PATH + 1, 0);
    const DWORD length = GetModuleFileNameW(nullptr, full.data(), MAX_PATH);
    ASSERT_GT(length, 6u);
    ASSERT_LT(length, MAX_PATH);
    for (DWORD capacity : {length + 1, length, 5u}) {
        std::vector<WCHAR> buffer(length + 8, 0x5A5A);
        const bool cut = capacity <= length;
        EXPECT_EQ(GetModuleFileNameW(nullptr, buffer.data(), capacity), cut ? capacity : length);
        const DWORD kept = cut ? capacity - 1 : length;
        EXPECT_EQ(std::u16string(buffer.data(), kept), std::u16string(full.data(), kept));
        for (std::size_t i = capacity; i < buffer.size(); ++i)
            ASSERT_EQ(buffer[i], 0x5A5A) << "written past the capacity at " << i;
    }

    static WCHAR name[] = u"QelnContract1";
    struct Entry {
        static void Main(DWORD, WCHAR**) {}
    };
    const SERVICE_TABLE_ENTRYW table[] = {{name, &Entry::Main}, {nullptr, nullptr}};
    EXPECT_FALSE(StartServiceCtrlDispatcherW(table));
}

// A released block goes back to the heap (a host supervises for months): 64
// blocks of 64 MiB in turn fit a 32-bit process only when each is released
// before the next is asked for.
TEST(HeapContract, ReleasedBlocksGoBack) {
    for (int i = 0; i < 64; ++i) {
        void* block = HeapAllocate(std::size_t{64} << 20);
        ASSERT_NE(block, nullptr) << "block " << i;
        HeapRelease(block);
    }
}

}  // namespace
