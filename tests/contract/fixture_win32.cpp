#include "tests/contract/fixture.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace contract {

void FreshMachine() {}

// The child is this test program itself, running only the disabled test below.
void LongLivedChild(std::u16string* application, std::u16string* command_line) {
    wchar_t path[MAX_PATH + 1] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    *application = reinterpret_cast<const char16_t*>(path);
    *command_line = u"\"" + *application +
                    u"\" --gtest_filter=ContractChild.DISABLED_LiveUntilTerminated"
                    u" --gtest_also_run_disabled_tests";
}

bool RunningOnWine() {
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::size_t OpenHandles() {
    return 0;
}

}  // namespace contract

// Run only as the child of the process tests: stays alive until terminated,
// and ends by itself after a minute so that a failed test leaves nothing behind.
TEST(ContractChild, DISABLED_LiveUntilTerminated) {
    ::Sleep(60000);
}
