// The host's own character-before step against the system's CharPrevW
// (USER32), on the positions the instance naming steps back from, so the two
// cannot drift apart. Windows builds only; the host exe links no USER32.
#include "platform/platform.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace {

TEST(CharPrevContract, StepsBackAsTheSystemDoes) {
    struct Case {
        const char* what;
        const char16_t* text;
        int position;
        int expected;
    };
    const Case cases[] = {
        {"backslash after the start", u"C:\\site3\\x.exe", 8, 7},
        {"one after the start", u"C:\\site3\\x.exe", 1, 0},
        {"backslash at the start", u"\\x.exe", 0, 0},
        {"at the start", u"x.exe", 0, 0},
        {"surrogate pair before the backslash", u"C:\\site\U0001F600\\x.exe", 9, 8},
        {"combining mark before the backslash", u"C:\\site3\u0301\\x.exe", 9, 8},
    };
    for (const Case& c : cases) {
        const wchar_t* wide = reinterpret_cast<const wchar_t*>(c.text);
        const wchar_t* system = ::CharPrevW(wide, wide + c.position);
        const platform::WCHAR* own = platform::CharPrevW(c.text, c.text + c.position);
        EXPECT_EQ(system - wide, c.expected) << c.what;
        EXPECT_EQ(own - c.text, system - wide) << c.what;
    }
}

}  // namespace
