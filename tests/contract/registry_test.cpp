// What the host relies on from the registry, checked the same way on the
// simulation and on the real registry. Each test works under its own scratch
// key "SOFTWARE\QelnContract\<test>" and removes it, leftovers first.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/owned.h"
#include "platform/platform.h"
#include "tests/contract/fixture.h"
#include "tests/contract/ups_area.h"

namespace {

using namespace platform;

constexpr DWORD kMarker = 0xdeadbeef;
HKEY MarkerKey() {
    return reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(kMarker));
}

using ups_area::Dw;
using ups_area::Sz;

class RegistryContract : public ::testing::Test {
protected:
    // Subkeys the tests may create below the scratch key, deepest first.
    const std::vector<std::u16string> kSubkeys = {u"A\\B\\C", u"A\\B\\D", u"A\\B", u"A"};

    void SetUp() override {
        contract::FreshMachine();
        const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        base_ = u"SOFTWARE\\QelnContract\\" + std::u16string(test.begin(), test.end());
        RemoveScratch();
        ASSERT_EQ(Open(u"", KEY_QUERY_VALUE, nullptr), ERROR_FILE_NOT_FOUND)
            << "leftover scratch key could not be removed";
    }

    void TearDown() override {
        RemoveScratch();
        EXPECT_EQ(contract::OpenHandles(), 0u);
    }

    std::u16string Path(const std::u16string& sub) const {
        return sub.empty() ? base_ : base_ + u"\\" + sub;
    }

    void RemoveScratch() {
        for (const std::u16string& sub : kSubkeys)
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, Path(sub).c_str());
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, base_.c_str());
    }

    LONG Open(const std::u16string& sub, DWORD access, KeyOwner* out) {
        KeyOwner local;
        KeyOwner* key = out != nullptr ? out : &local;
        return RegOpenKeyExW(HKEY_LOCAL_MACHINE, Path(sub).c_str(), 0, access, key->put());
    }

    // Creates sub (and everything above it) and returns its disposition.
    DWORD Create(const std::u16string& sub, KeyOwner* out, DWORD access = KEY_SET_VALUE) {
        KeyOwner local;
        KeyOwner* key = out != nullptr ? out : &local;
        DWORD disposition = kMarker;
        HKEY raw = MarkerKey();
        LONG result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, Path(sub).c_str(), 0, nullptr,
                                      REG_OPTION_NON_VOLATILE, access, nullptr, &raw, &disposition);
        EXPECT_EQ(result, ERROR_SUCCESS) << "create " << sub.size();
        EXPECT_NE(raw, MarkerKey());
        EXPECT_NE(raw, nullptr);
        key->reset(result == ERROR_SUCCESS ? raw : nullptr);
        return disposition;
    }

    static LONG Set(HKEY key, const char16_t* name, DWORD type, const std::vector<BYTE>& bytes) {
        return RegSetValueExW(key, name, 0, type, bytes.data(), static_cast<DWORD>(bytes.size()));
    }

    std::u16string base_;
};

TEST_F(RegistryContract, OpenOfMissingKeyFailsAndCreatesNothing) {
    KeyOwner key;
    EXPECT_EQ(Open(u"A", KEY_QUERY_VALUE, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(key);
    EXPECT_EQ(Open(u"A", KEY_ALL_ACCESS, &key), ERROR_FILE_NOT_FOUND)
        << "the first open created it";
    EXPECT_EQ(Open(u"", KEY_QUERY_VALUE, &key), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryContract, CreateMakesEveryMissingKeyAndReportsDisposition) {
    EXPECT_EQ(Create(u"A\\B\\C", nullptr), REG_CREATED_NEW_KEY);
    for (const char16_t* sub : {u"", u"A", u"A\\B", u"A\\B\\C"}) {
        EXPECT_EQ(Open(sub, KEY_QUERY_VALUE, nullptr), ERROR_SUCCESS) << "missing level " << sub[0];
    }
    EXPECT_EQ(Create(u"A\\B\\C", nullptr), REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(Create(u"a\\b\\c", nullptr), REG_OPENED_EXISTING_KEY) << "key names ignore case";
    EXPECT_EQ(Create(u"A\\B\\D", nullptr), REG_CREATED_NEW_KEY) << "last key new, parents existed";
    EXPECT_EQ(Create(u"A", nullptr), REG_OPENED_EXISTING_KEY);
}

TEST_F(RegistryContract, ValuesRoundTripWithTypeAndSize) {
    KeyOwner writer;
    Create(u"", &writer);
    struct Case {
        const char16_t* set_name;
        const char16_t* query_name;
        DWORD type;
        std::vector<BYTE> bytes;
    };
    const std::vector<Case> cases = {
        {u"Text", u"text", REG_SZ, Sz(u"C:\\qeln\\app.exe")},
        {u"", nullptr, REG_SZ, Sz(u"default")},  // the empty name is the default value
        {u"Number", u"NUMBER", REG_DWORD, Dw(0x01020304)},
        {u"Expand", u"Expand", REG_EXPAND_SZ, Sz(u"%SystemRoot%\\x")},  // stored unexpanded
        {u"Empty", u"Empty", REG_SZ, {}},                               // zero length is stored
        {u"Short", u"Short", REG_DWORD, {0x2A, 0x00}},                  // kept at its size
        {u"NoTerm", u"NoTerm", REG_SZ, {u'a', 0, u'b', 0}},             // stored as given
    };
    // Windows appends a terminator to string data that lacks one when the
    // character after the data happens to be 0, reading past the size given.
    // Data followed by a non-zero character is stored exactly as given.
    auto data_of = [](const Case& c) {
        std::vector<BYTE> padded = c.bytes;
        padded.insert(padded.end(), {u'z', 0, 0, 0});
        return padded;
    };
    for (const Case& c : cases) {
        const std::vector<BYTE> data = data_of(c);
        ASSERT_EQ(RegSetValueExW(writer.get(), c.set_name, 0, c.type, data.data(),
                                 static_cast<DWORD>(c.bytes.size())),
                  ERROR_SUCCESS);
    }
    KeyOwner reader;
    ASSERT_EQ(Open(u"", KEY_QUERY_VALUE, &reader), ERROR_SUCCESS);
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "value #" << (&c - cases.data()));
        // A query without a buffer reports type and size.
        DWORD type = kMarker;
        DWORD size = kMarker;
        ASSERT_EQ(RegQueryValueExW(reader.get(), c.query_name, nullptr, &type, nullptr, &size),
                  ERROR_SUCCESS);
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(size, c.bytes.size());
        // A buffer of exactly that size gets the bytes; nothing beyond is written.
        std::vector<BYTE> buffer(c.bytes.size() + 8, 0x5A);
        size = static_cast<DWORD>(c.bytes.size());
        type = kMarker;
        ASSERT_EQ(
            RegQueryValueExW(reader.get(), c.query_name, nullptr, &type, buffer.data(), &size),
            ERROR_SUCCESS);
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(size, c.bytes.size());
        EXPECT_EQ(std::vector<BYTE>(buffer.begin(), buffer.begin() + c.bytes.size()), c.bytes);
        for (std::size_t i = c.bytes.size(); i < buffer.size(); ++i)
            EXPECT_EQ(buffer[i], 0x5A) << i;
    }
}

TEST_F(RegistryContract, TooSmallBufferFailsWithNeededSize) {
    KeyOwner key;
    Create(u"", &key, KEY_ALL_ACCESS);
    const std::vector<BYTE> value = Sz(u"0123456789");  // 22 bytes
    ASSERT_EQ(Set(key.get(), u"Long", REG_SZ, value), ERROR_SUCCESS);
    for (DWORD capacity : {0u, 1u, 4u, 21u}) {
        std::vector<BYTE> buffer(32, 0x5A);
        DWORD size = capacity;
        EXPECT_EQ(RegQueryValueExW(key.get(), u"Long", nullptr, nullptr, buffer.data(), &size),
                  ERROR_MORE_DATA)
            << capacity;
        EXPECT_EQ(size, value.size()) << capacity;
        // Whatever the call did inside the buffer, it stayed inside it.
        for (std::size_t i = capacity; i < buffer.size(); ++i)
            EXPECT_EQ(buffer[i], 0x5A) << i;
    }
}

TEST_F(RegistryContract, MissingValueAndReplacedValue) {
    KeyOwner key;
    Create(u"", &key, KEY_ALL_ACCESS);
    DWORD type = kMarker;
    DWORD size = kMarker;
    EXPECT_EQ(RegQueryValueExW(key.get(), u"Nothing", nullptr, &type, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExW(key.get(), nullptr, nullptr, &type, nullptr, &size),
              ERROR_FILE_NOT_FOUND)
        << "a new key has no default value";
    ASSERT_EQ(Set(key.get(), u"Options", REG_SZ, Sz(u"text")), ERROR_SUCCESS);
    ASSERT_EQ(Set(key.get(), u"OPTIONS", REG_DWORD, Dw(7)), ERROR_SUCCESS);
    ASSERT_EQ(RegQueryValueExW(key.get(), u"Options", nullptr, &type, nullptr, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(size, 4u);
}

TEST_F(RegistryContract, AccessMaskLimitsWhatAHandleMayDo) {
    {
        KeyOwner writer;
        EXPECT_EQ(Create(u"", &writer, KEY_SET_VALUE), REG_CREATED_NEW_KEY);
        ASSERT_EQ(Set(writer.get(), u"V", REG_DWORD, Dw(1)), ERROR_SUCCESS);
        DWORD size = 4;
        BYTE data[4];
        EXPECT_EQ(RegQueryValueExW(writer.get(), u"V", nullptr, nullptr, data, &size),
                  ERROR_ACCESS_DENIED);
    }
    KeyOwner reader;
    ASSERT_EQ(Open(u"", KEY_QUERY_VALUE, &reader), ERROR_SUCCESS);
    EXPECT_EQ(Set(reader.get(), u"V", REG_DWORD, Dw(2)), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Set(reader.get(), u"New", REG_DWORD, Dw(2)), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueW(reader.get(), u"V"), ERROR_ACCESS_DENIED);
    BYTE data[4] = {};
    DWORD size = sizeof data;
    ASSERT_EQ(RegQueryValueExW(reader.get(), u"V", nullptr, nullptr, data, &size), ERROR_SUCCESS);
    EXPECT_EQ(data[0], 1) << "a refused write changed the value";
    // RegOpenKeyW opens with full access: it may read and write.
    KeyOwner full;
    ASSERT_EQ(RegOpenKeyW(HKEY_LOCAL_MACHINE, Path(u"").c_str(), full.put()), ERROR_SUCCESS);
    EXPECT_EQ(Set(full.get(), u"V", REG_DWORD, Dw(3)), ERROR_SUCCESS);
    size = sizeof data;
    EXPECT_EQ(RegQueryValueExW(full.get(), u"V", nullptr, nullptr, data, &size), ERROR_SUCCESS);
    EXPECT_EQ(data[0], 3);
    KeyOwner missing;
    EXPECT_EQ(RegOpenKeyW(HKEY_LOCAL_MACHINE, Path(u"A").c_str(), missing.put()),
              ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryContract, DeleteValueRemovesItIgnoringCase) {
    KeyOwner key;
    Create(u"A\\B", &key, KEY_ALL_ACCESS);
    ASSERT_EQ(Set(key.get(), u"BatteryLife", REG_DWORD, Dw(5)), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(key.get(), u"batterylife"), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(key.get(), u"BatteryLife", nullptr, nullptr, nullptr, nullptr),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteValueW(key.get(), u"BatteryLife"), ERROR_FILE_NOT_FOUND);
}

}  // namespace
