// What the host relies on from the process and text functions, checked the
// same way on the simulation and on Windows.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "tests/contract/fixture.h"

namespace {

using namespace platform;

// The switches are compared for equality only.
TEST(ProcessContract, StricmpFoldsOnlyAsciiLetters) {
    const std::pair<const char*, const char*> cases[] = {
        {"install", "INSTALL"}, {"\xC4x", "\xC4X"}, {"installx", "install"},
        {"", "install"},        {"_", "A"},         {"\xC4", "\xE4"}};  // Latin-1 is not folded
    for (const auto& c : cases) {
        EXPECT_EQ(platform::_stricmp(c.first, c.second) == 0, &c - cases < 2)
            << c.first << " vs " << c.second;
    }
}

// The naming grows its buffer while the path comes back cut, so a cut path
// must say so: Windows (since Vista) returns the capacity with capacity - 1
// characters and a terminator; Wine 8 returns the capacity with capacity
// characters and no terminator.
TEST(ProcessContract, ModuleFileNameTellsACutPathByItsResult) {
    std::vector<WCHAR> full(MAX_LONG_PATH + 1, 0);
    const DWORD length = GetModuleFileNameW(nullptr, full.data(), MAX_LONG_PATH);
    ASSERT_GT(length, 6u);
    ASSERT_LT(length, MAX_LONG_PATH);
    const std::u16string path(full.data(), length);
    const bool xp_cut = contract::RunningOnWine();
    for (DWORD capacity : {length + 1, length, 5u}) {
        SCOPED_TRACE(capacity);
        std::vector<WCHAR> buffer(length + 8, 0x5A5A);
        const bool cut = capacity <= length;
        EXPECT_EQ(GetModuleFileNameW(nullptr, buffer.data(), capacity), cut ? capacity : length);
        const DWORD kept = !cut ? length : (xp_cut ? capacity : capacity - 1);
        EXPECT_EQ(std::u16string(buffer.data(), kept), path.substr(0, kept));
        const std::size_t untouched = kept + (!cut || !xp_cut ? 1 : 0);
        if (untouched > kept) {
            EXPECT_EQ(buffer[kept], 0) << "terminated";
        }
        for (std::size_t i = untouched; i < buffer.size(); ++i)
            ASSERT_EQ(buffer[i], 0x5A5A) << "written past the capacity at " << i;
    }
}

// A launch of what does not exist fails (the host then sounds its tone); a
// child lives until terminated, and the wait on it returns then.
TEST(ProcessContract, MissingApplicationFailsAndAChildLivesUntilTerminated) {
    contract::FreshMachine();
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    WCHAR missing[] = u"missing.exe -a";
    EXPECT_FALSE(CreateProcessW(u"C:\\qeln\\contract\\missing.exe", missing, nullptr, nullptr, TRUE,
                                DETACHED_PROCESS, nullptr, nullptr, &startup, &info));
    WCHAR empty[] = u"";
    EXPECT_FALSE(CreateProcessW(u"", empty, nullptr, nullptr, TRUE, DETACHED_PROCESS, nullptr,
                                nullptr, &startup, &info));

    std::u16string application;
    std::u16string command;
    contract::LongLivedChild(&application, &command);
    std::vector<WCHAR> command_line(command.begin(), command.end());
    command_line.push_back(0);
    ASSERT_TRUE(CreateProcessW(application.c_str(), command_line.data(), nullptr, nullptr, FALSE,
                               DETACHED_PROCESS, nullptr, nullptr, &startup, &info));
    EXPECT_NE(info.hProcess, nullptr);
    EXPECT_NE(info.hProcess, info.hThread);
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 0), WAIT_TIMEOUT) << "the child ended at once";
    EXPECT_TRUE(TerminateProcess(info.hProcess, 7));
    EXPECT_EQ(WaitForSingleObject(info.hProcess, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(info.hThread));
    EXPECT_TRUE(CloseHandle(info.hProcess));
    EXPECT_EQ(contract::OpenHandles(), 0u);
}

}  // namespace
