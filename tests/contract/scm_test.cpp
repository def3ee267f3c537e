// What the host relies on from the Service Control Manager, checked the same
// way on the simulation and on a real SCM.
#include <gtest/gtest.h>

#include "platform/owned.h"
#include "platform/platform.h"
#include "tests/contract/fixture.h"

namespace {

using namespace platform;

constexpr DWORD kScManagerConnect = 0x0001;

SC_HANDLE Create(SC_HANDLE manager, const WCHAR* name) {
    return CreateServiceW(manager, name, u"Qeln Contract", SERVICE_ALL_ACCESS,
                          SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                          u"C:\\qeln\\contract\\qelnhost.exe", nullptr, nullptr, u"\0", nullptr,
                          nullptr);
}

// A taken name (in any letter case) cannot be created again; the stop of a
// service that is not running is refused; after the deletion the name is
// gone; a manager opened only to connect cannot create.
TEST(ScmContract, TakenNamesStoppedServicesAndDeletion) {
    contract::FreshMachine();
    {
        ScOwner manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        ASSERT_TRUE(manager);
        ScOwner leftover(OpenServiceW(manager.get(), u"QelnContract1", SERVICE_ALL_ACCESS));
        if (leftover) DeleteService(leftover.get());
    }
    ScOwner manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ScOwner created(Create(manager.get(), u"QelnContract1"));
    ASSERT_TRUE(created);
    EXPECT_FALSE(ScOwner(Create(manager.get(), u"QELNCONTRACT1")));
    ScOwner connect_only(OpenSCManagerW(nullptr, nullptr, kScManagerConnect));
    EXPECT_FALSE(ScOwner(Create(connect_only.get(), u"QelnContract2")));

    ScOwner service(OpenServiceW(connect_only.get(), u"qelncontract1", SERVICE_ALL_ACCESS));
    ASSERT_TRUE(service) << "open ignores letter case";
    SERVICE_STATUS status = {};
    ASSERT_TRUE(QueryServiceStatus(service.get(), &status));
    EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
    EXPECT_FALSE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
    EXPECT_TRUE(DeleteService(service.get()));
    service.reset();
    created.reset();
    EXPECT_FALSE(ScOwner(OpenServiceW(manager.get(), u"QelnContract1", SERVICE_ALL_ACCESS)));

    // This program was not started by the SCM: the dispatcher fails at once.
    static WCHAR name[] = u"QelnContract1";
    struct Entry {
        static void Main(DWORD, WCHAR**) {}
        static void Handler(DWORD) {}
    };
    const SERVICE_TABLE_ENTRYW table[] = {{name, &Entry::Main}, {nullptr, nullptr}};
    EXPECT_FALSE(StartServiceCtrlDispatcherW(table));
    EXPECT_EQ(RegisterServiceCtrlHandlerW(name, &Entry::Handler), nullptr);
    manager.reset();
    connect_only.reset();
    EXPECT_EQ(contract::OpenHandles(), 0u);
}

}  // namespace
