// What the host relies on from the process, runtime and heap functions, checked
// the same way on the simulation and on Windows.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "tests/contract/fixture.h"

namespace {

using namespace platform;

constexpr DWORD kMarker = 0xdeadbeef;
HANDLE MarkerHandle() {
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(kMarker));
}

class ProcessContract : public ::testing::Test {
protected:
    void SetUp() override { contract::FreshMachine(); }
    void TearDown() override { EXPECT_EQ(contract::OpenHandles(), 0u); }
};

// The switches are compared for equality only.
TEST_F(ProcessContract, StricmpFoldsOnlyAsciiLetters) {
    const std::pair<const char*, const char*> equal[] = {
        {"install", "INSTALL"}, {"Remove", "rEMOVE"}, {"", ""}, {"\xC4x", "\xC4X"}};
    const std::pair<const char*, const char*> differ[] = {
        {"installx", "install"},
        {"", "install"},
        {"_", "A"},
        {"\xC4", "\xE4"},  // Latin-1 letters are not folded
        {"\xE9tat", "\xC9TAT"}};
    for (const auto& c : equal)
        EXPECT_EQ(platform::_stricmp(c.first, c.second), 0) << c.first << " vs " << c.second;
    for (const auto& c : differ)
        EXPECT_NE(platform::_stricmp(c.first, c.second), 0) << c.first << " vs " << c.second;
}

TEST_F(ProcessContract, ModuleFileNameIsCutToCapacityMinusOneAndTerminated) {
    std::vector<WCHAR> full(MAX_LONG_PATH + 1, 0);
    DWORD length = GetModuleFileNameW(nullptr, full.data(), MAX_LONG_PATH);
    ASSERT_GT(length, 6u);
    ASSERT_LT(length, MAX_LONG_PATH);
    EXPECT_EQ(full[length], 0);
    std::u16string path(full.data(), length);
    EXPECT_NE(path.find(u'\\'), std::u16string::npos) << "a full path";

    // Capacity above, at, just below and far below the length. Windows
    // (since Vista) cuts to capacity - 1 characters and a terminator; Wine 8
    // still behaves as Windows XP did: capacity characters, no terminator.
    const bool xp_cut = contract::RunningOnWine();
    for (DWORD capacity : {length + 1, length, length - 1, 5u, 1u}) {
        std::vector<WCHAR> buffer(length + 8, 0x5A5A);
        DWORD result = GetModuleFileNameW(nullptr, buffer.data(), capacity);
        bool cut = capacity <= length;
        DWORD kept = !cut ? length : (xp_cut ? capacity : capacity - 1);
        EXPECT_EQ(result, cut ? capacity : length) << "capacity " << capacity;
        EXPECT_EQ(std::u16string(buffer.data(), kept), path.substr(0, kept))
            << "capacity " << capacity;
        std::size_t untouched_from = kept;
        if (!cut || !xp_cut) {
            EXPECT_EQ(buffer[kept], 0) << "terminated, capacity " << capacity;
            ++untouched_from;
        }
        for (std::size_t i = untouched_from; i < buffer.size(); ++i) {
            ASSERT_EQ(buffer[i], 0x5A5A) << "written past the capacity " << capacity << " at " << i;
        }
    }
}

TEST_F(ProcessContract, CreateProcessOfAMissingApplicationFails) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    WCHAR command_line[] = u"missing.exe -a";
    EXPECT_FALSE(CreateProcessW(u"C:\\qeln\\contract\\missing.exe", command_line, nullptr, nullptr,
                                TRUE, DETACHED_PROCESS, nullptr, nullptr, &startup, &info));
    WCHAR empty_command[] = u"";
    EXPECT_FALSE(CreateProcessW(u"", empty_command, nullptr, nullptr, TRUE, DETACHED_PROCESS,
                                nullptr, nullptr, &startup, &info))
        << "an empty application name";
}

TEST_F(ProcessContract, ChildLivesUntilTerminatedAndKeepsItsExitCode) {
    std::u16string application;
    std::u16string command;
    contract::LongLivedChild(&application, &command);
    std::vector<WCHAR> command_line(command.begin(), command.end());
    command_line.push_back(0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {MarkerHandle(), MarkerHandle(), kMarker, kMarker};
    ASSERT_TRUE(CreateProcessW(application.c_str(), command_line.data(), nullptr, nullptr, FALSE,
                               DETACHED_PROCESS, nullptr, nullptr, &startup, &info));
    EXPECT_NE(info.hProcess, MarkerHandle());
    EXPECT_NE(info.hThread, MarkerHandle());
    EXPECT_NE(info.hProcess, nullptr);
    EXPECT_NE(info.hProcess, info.hThread);
    EXPECT_NE(info.dwProcessId, kMarker);
    EXPECT_NE(info.dwProcessId, 0u);

    EXPECT_EQ(WaitForSingleObject(info.hProcess, 0), WAIT_TIMEOUT) << "the child ended at once";
    DWORD code = kMarker;
    ASSERT_TRUE(GetExitCodeProcess(info.hProcess, &code));
    EXPECT_EQ(code, STILL_ACTIVE);

    EXPECT_TRUE(TerminateProcess(info.hProcess, 7));
    EXPECT_EQ(WaitForSingleObject(info.hProcess, INFINITE), WAIT_OBJECT_0);
    code = kMarker;
    ASSERT_TRUE(GetExitCodeProcess(info.hProcess, &code));
    EXPECT_EQ(code, 7u);
    // Windows refuses to terminate an ended process (access denied); Wine 8
    // accepts the call and changes nothing. The handle stays valid either way.
    if (contract::RunningOnWine()) {
        EXPECT_TRUE(TerminateProcess(info.hProcess, 0));
    } else {
        EXPECT_FALSE(TerminateProcess(info.hProcess, 0));
    }
    EXPECT_EQ(WaitForSingleObject(info.hProcess, INFINITE), WAIT_OBJECT_0);
    code = kMarker;
    ASSERT_TRUE(GetExitCodeProcess(info.hProcess, &code));
    EXPECT_EQ(code, 7u) << "the failed terminate changed the exit code";

    EXPECT_TRUE(CloseHandle(info.hThread));
    EXPECT_TRUE(CloseHandle(info.hProcess));
}

TEST_F(ProcessContract, HeapBlocksAreUsableAndNullIsReleasable) {
    for (std::size_t bytes : {std::size_t{1}, std::size_t{522}, std::size_t{65536}}) {
        BYTE* block = static_cast<BYTE*>(HeapAllocate(bytes));
        ASSERT_NE(block, nullptr) << bytes;
        for (std::size_t i = 0; i < bytes; ++i)
            block[i] = static_cast<BYTE>(i);
        HeapRelease(block);
    }
    HeapRelease(nullptr);
}

}  // namespace
