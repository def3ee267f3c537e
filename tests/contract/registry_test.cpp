// What the host relies on from the registry, checked the same way on the
// simulation and on the real registry, under a scratch key
// "SOFTWARE\QelnContract\<test>" that each test removes, leftovers first.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/owned.h"
#include "platform/platform.h"
#include "tests/contract/fixture.h"
#include "tests/contract/ups_area.h"

namespace {

using namespace platform;
using ups_area::Dw;
using ups_area::Sz;

constexpr DWORD kMarker = 0xdeadbeef;

class RegistryContract : public ::testing::Test {
protected:
    void SetUp() override {
        contract::FreshMachine();
        const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        base_ = u"SOFTWARE\\QelnContract\\" + std::u16string(test.begin(), test.end());
        RemoveScratch();
    }
    void TearDown() override {
        RemoveScratch();
        EXPECT_EQ(contract::OpenHandles(), 0u);
    }
    void RemoveScratch() {
        for (const char16_t* sub : {u"\\A\\B", u"\\A", u""})
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, (base_ + sub).c_str());
    }
    LONG Open(const std::u16string& sub, DWORD access, KeyOwner* key) {
        return RegOpenKeyExW(HKEY_LOCAL_MACHINE, (base_ + sub).c_str(), 0, access, key->put());
    }
    DWORD Create(const std::u16string& sub, KeyOwner* key) {
        DWORD disposition = kMarker;
        EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, (base_ + sub).c_str(), 0, nullptr,
                                  REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, key->put(),
                                  &disposition),
                  ERROR_SUCCESS);
        return disposition;
    }

    std::u16string base_;
};

// Creation makes every missing key and tells a new key from an existing one
// (the priming's upgrade detection rests on it); handles carry their access.
TEST_F(RegistryContract, CreateTellsNewFromExistingAndHandlesCarryTheirAccess) {
    KeyOwner key;
    EXPECT_EQ(Open(u"\\A", KEY_QUERY_VALUE, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Create(u"\\A\\B", &key), REG_CREATED_NEW_KEY);
    EXPECT_EQ(Create(u"\\a\\b", &key), REG_OPENED_EXISTING_KEY) << "key names ignore case";
    EXPECT_EQ(Create(u"\\A", &key), REG_OPENED_EXISTING_KEY) << "the parents were created";
    const std::vector<BYTE> one = Dw(1);
    ASSERT_EQ(RegSetValueExW(key.get(), u"V", 0, REG_DWORD, one.data(), 4), ERROR_SUCCESS);
    BYTE data[4] = {};
    DWORD size = sizeof data;
    EXPECT_EQ(RegQueryValueExW(key.get(), u"V", nullptr, nullptr, data, &size),
              ERROR_ACCESS_DENIED);
    KeyOwner reader;
    ASSERT_EQ(Open(u"\\A", KEY_QUERY_VALUE, &reader), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(reader.get(), u"V", 0, REG_DWORD, one.data(), 4), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueW(reader.get(), u"V"), ERROR_ACCESS_DENIED);
    // RegOpenKeyW opens with full access.
    KeyOwner full;
    ASSERT_EQ(RegOpenKeyW(HKEY_LOCAL_MACHINE, (base_ + u"\\A").c_str(), full.put()), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(full.get(), u"V", nullptr, nullptr, data, &size), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(full.get(), u"v"), ERROR_SUCCESS) << "value names ignore case";
    EXPECT_EQ(RegDeleteValueW(full.get(), u"V"), ERROR_FILE_NOT_FOUND);
}

// Values keep their type and exact bytes; a query without a buffer tells the
// size, one with too small a buffer fails with the size and writes nothing
// beyond the buffer.
TEST_F(RegistryContract, ValuesKeepTypeAndBytesAndQueriesTellTheSize) {
    KeyOwner writer;
    Create(u"", &writer);
    const struct {
        const char16_t* name;
        DWORD type;
        std::vector<BYTE> bytes;
    } cases[] = {
        {u"Text", REG_SZ, Sz(u"C:\\qeln\\app.exe")},
        {u"", REG_SZ, Sz(u"default")},  // the empty name is the default value
        {u"Number", REG_DWORD, Dw(0x01020304)},
        {u"Expand", REG_EXPAND_SZ, Sz(u"%SystemRoot%\\x")},  // stored unexpanded
        {u"Empty", REG_SZ, {}},
        {u"Short", REG_DWORD, {0x2A, 0x00}},
        {u"NoTerm", REG_SZ, {u'a', 0, u'b', 0}},
    };
    for (const auto& c : cases) {
        // Windows appends a terminator to string data without one when the
        // character after the data is 0; a non-zero one keeps the data exact.
        std::vector<BYTE> data = c.bytes;
        data.insert(data.end(), {u'z', 0, 0, 0});
        ASSERT_EQ(RegSetValueExW(writer.get(), c.name, 0, c.type, data.data(),
                                 static_cast<DWORD>(c.bytes.size())),
                  ERROR_SUCCESS);
    }
    KeyOwner reader;
    ASSERT_EQ(Open(u"", KEY_QUERY_VALUE, &reader), ERROR_SUCCESS);
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "value #" << (&c - cases));
        const DWORD want = static_cast<DWORD>(c.bytes.size());
        DWORD type = kMarker;
        DWORD size = kMarker;
        ASSERT_EQ(RegQueryValueExW(reader.get(), c.name, nullptr, &type, nullptr, &size),
                  ERROR_SUCCESS);
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(size, want);
        for (DWORD capacity : {want, want / 2}) {
            std::vector<BYTE> buffer(want + 8, 0x5A);
            size = capacity;
            const LONG result =
                RegQueryValueExW(reader.get(), c.name, nullptr, nullptr, buffer.data(), &size);
            EXPECT_EQ(result, capacity == want ? ERROR_SUCCESS : ERROR_MORE_DATA) << capacity;
            EXPECT_EQ(size, want);
            if (capacity == want) {
                EXPECT_EQ(std::vector<BYTE>(buffer.begin(), buffer.begin() + want), c.bytes);
            }
            for (std::size_t i = capacity; i < buffer.size(); ++i)
                ASSERT_EQ(buffer[i], 0x5A) << "written beyond the buffer at " << i;
        }
    }
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(reader.get(), u"Nothing", nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
}

}  // namespace
