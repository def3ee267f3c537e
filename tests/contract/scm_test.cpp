// What the host relies on from the Service Control Manager, checked the same
// way on the simulation and on a real SCM. Every test owns its service name
// (QelnContractN) and removes a leftover of an earlier run first.
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
using ups_area::Sz;

constexpr DWORD kMarker = 0xdeadbeef;
constexpr DWORD kErrorServiceNeverStarted = 1077;

SERVICE_STATUS MarkedStatus() {
    return SERVICE_STATUS{kMarker, kMarker, kMarker, kMarker, kMarker, kMarker, kMarker};
}

class ScmContract : public ::testing::Test {
protected:
    void SetUp() override {
        contract::FreshMachine();
        manager_.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        ASSERT_TRUE(manager_);
    }

    void TearDown() override {
        for (const std::u16string& name : created_)
            Remove(name);
        manager_.reset();
        EXPECT_EQ(contract::OpenHandles(), 0u);
    }

    // Removes a service of that name if one exists.
    void Remove(const std::u16string& name) {
        ScOwner service(OpenServiceW(manager_.get(), name.c_str(), SERVICE_ALL_ACCESS));
        if (service) DeleteService(service.get());
    }

    SC_HANDLE Create(const std::u16string& name, const std::u16string& display,
                     const std::u16string& path) {
        Remove(name);
        created_.push_back(name);
        return CreateAgain(name, display, path);
    }

    // Creates without removing a service of that name first.
    SC_HANDLE CreateAgain(const std::u16string& name, const std::u16string& display = u"Other",
                          const std::u16string& path = u"C:\\other.exe") {
        return CreateServiceW(manager_.get(), name.c_str(), display.c_str(), SERVICE_ALL_ACCESS,
                              SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                              path.c_str(), nullptr, nullptr, u"\0", nullptr, nullptr);
    }

    static bool ReadValue(const std::u16string& key, const char16_t* name, DWORD* type,
                          std::vector<BYTE>* bytes) {
        KeyOwner k;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE, k.put()) !=
            ERROR_SUCCESS) {
            return false;
        }
        DWORD size = 0;
        if (RegQueryValueExW(k.get(), name, nullptr, type, nullptr, &size) != ERROR_SUCCESS)
            return false;
        bytes->assign(size, 0);
        return RegQueryValueExW(k.get(), name, nullptr, type, bytes->data(), &size) ==
               ERROR_SUCCESS;
    }

    ScOwner manager_;
    std::vector<std::u16string> created_;
};

TEST_F(ScmContract, CreateWritesTheRegistrationAndRefusesATakenName) {
    const std::u16string name = u"QelnContract1";
    const std::u16string path = u"C:\\qeln\\contract1\\qelnhost.exe";
    ScOwner service(Create(name, u"Qeln Contract 1", path));
    ASSERT_TRUE(service);

    const std::u16string key = u"SYSTEM\\CurrentControlSet\\Services\\" + name;
    struct Expected {
        const char16_t* name;
        DWORD type;
        std::vector<BYTE> bytes;
    };
    const std::vector<Expected> expected = {
        {u"DisplayName", REG_SZ, Sz(u"Qeln Contract 1")},
        // Windows stores the path as REG_EXPAND_SZ; Wine 8 as REG_SZ.
        {u"ImagePath", contract::RunningOnWine() ? REG_SZ : REG_EXPAND_SZ, Sz(path)},
        {u"Type", REG_DWORD, {0x10, 0, 0, 0}},
        {u"Start", REG_DWORD, {SERVICE_DEMAND_START, 0, 0, 0}},
        {u"ErrorControl", REG_DWORD, {SERVICE_ERROR_NORMAL, 0, 0, 0}},
        {u"ObjectName", REG_SZ, Sz(u"LocalSystem")},
    };
    for (const Expected& e : expected) {
        DWORD type = kMarker;
        std::vector<BYTE> bytes;
        ASSERT_TRUE(ReadValue(key, e.name, &type, &bytes)) << "value #" << (&e - expected.data());
        EXPECT_EQ(type, e.type) << "value #" << (&e - expected.data());
        EXPECT_EQ(bytes, e.bytes) << "value #" << (&e - expected.data());
    }

    // The name is taken, in any letter case.
    for (const char16_t* taken : {u"QelnContract1", u"QELNCONTRACT1"}) {
        EXPECT_FALSE(ScOwner(CreateAgain(taken)));
    }
    DWORD type = kMarker;
    std::vector<BYTE> bytes;
    ASSERT_TRUE(ReadValue(key, u"ImagePath", &type, &bytes));
    EXPECT_EQ(bytes, Sz(path)) << "a refused create changed the registration";
}

TEST_F(ScmContract, AStoppedServiceQueriesStoppedAndRefusesStop) {
    const std::u16string name = u"QelnContract2";
    ScOwner created(Create(name, u"Qeln Contract 2", u"C:\\qeln\\contract2\\qelnhost.exe"));
    ASSERT_TRUE(created);
    ScOwner service(OpenServiceW(manager_.get(), u"qelncontract2", SERVICE_ALL_ACCESS));
    ASSERT_TRUE(service) << "open ignores letter case";

    SERVICE_STATUS status = MarkedStatus();
    ASSERT_TRUE(QueryServiceStatus(service.get(), &status));
    EXPECT_EQ(status.dwServiceType, SERVICE_WIN32_OWN_PROCESS);
    EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(status.dwControlsAccepted, 0u);
    EXPECT_EQ(status.dwWin32ExitCode, kErrorServiceNeverStarted);

    status = MarkedStatus();
    EXPECT_FALSE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
    // Refused because the service is not active: the record still says so.
    EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(status.dwServiceType, SERVICE_WIN32_OWN_PROCESS);
}

TEST_F(ScmContract, DeleteRemovesServiceAndRegistration) {
    const std::u16string name = u"QelnContract3";
    const std::u16string key = u"SYSTEM\\CurrentControlSet\\Services\\" + name;
    ScOwner service(Create(name, u"Qeln Contract 3", u"C:\\qeln\\contract3\\qelnhost.exe"));
    ASSERT_TRUE(service);
    // Values the deployment adds below the registration go with it.
    {
        KeyOwner parameters;
        DWORD disposition = 0;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, (key + u"\\Parameters").c_str(), 0, nullptr,
                                  REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, parameters.put(),
                                  &disposition),
                  ERROR_SUCCESS);
        const std::vector<BYTE> app = Sz(u"C:\\app.exe");
        ASSERT_EQ(RegSetValueExW(parameters.get(), u"Application", 0, REG_SZ, app.data(),
                                 static_cast<DWORD>(app.size())),
                  ERROR_SUCCESS);
    }
    EXPECT_TRUE(DeleteService(service.get()));
    {
        // Marked for deletion, it goes once its last handle is closed: until
        // then it can still be opened, and its name is still taken.
        ScOwner marked(OpenServiceW(manager_.get(), name.c_str(), SERVICE_ALL_ACCESS));
        EXPECT_TRUE(marked);
        EXPECT_FALSE(DeleteService(marked.get()));
        EXPECT_FALSE(ScOwner(CreateAgain(name)));
    }
    service.reset();

    ScOwner reopened(OpenServiceW(manager_.get(), name.c_str(), SERVICE_ALL_ACCESS));
    EXPECT_FALSE(reopened);
    KeyOwner registration;
    EXPECT_EQ(
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE, registration.put()),
        ERROR_FILE_NOT_FOUND);

    // The name is free again.
    ScOwner recreated(Create(name, u"Qeln Contract 3", u"C:\\qeln\\contract3\\qelnhost.exe"));
    EXPECT_TRUE(recreated);
}

TEST_F(ScmContract, OpenOfMissingServiceFails) {
    Remove(u"QelnContract4");
    ScOwner service(OpenServiceW(manager_.get(), u"QelnContract4", SERVICE_ALL_ACCESS));
    EXPECT_FALSE(service);
}

TEST_F(ScmContract, DispatcherFailsOutsideAServiceStart) {
    // This test program was not started by the SCM: both calls fail at once.
    static WCHAR name[] = u"QelnContract5";
    struct Entry {
        static void Main(DWORD, WCHAR**) {}
        static void Handler(DWORD) {}
    };
    const SERVICE_TABLE_ENTRYW table[] = {{name, &Entry::Main}, {nullptr, nullptr}};
    EXPECT_FALSE(StartServiceCtrlDispatcherW(table));
    EXPECT_EQ(RegisterServiceCtrlHandlerW(name, &Entry::Handler), nullptr);
}

}  // namespace
