// The host's own character-before step against the system's CharPrevW
// (USER32), on the positions the instance naming steps back from, so the two
// cannot drift apart. Windows builds only; the host exe links no USER32.
#include "platform/platform.h"

#include <windows.h>

#include <gtest/gtest.h>

TEST(CharPrevContract, StepsBackAsTheSystemDoes) {
    const struct {
        const char16_t* text;
        int position, expected;
    } cases[] = {
        {u"C:\\site3\\x.exe", 8, 7},           // the backslash after the start
        {u"C:\\site3\\x.exe", 1, 0},           // one after the start
        {u"\\x.exe", 0, 0},                    // a backslash at the start
        {u"x.exe", 0, 0},                      // the start
        {u"C:\\site\U0001F600\\x.exe", 9, 8},  // a surrogate pair before the backslash
        {u"C:\\site3\u0301\\x.exe", 9, 8},     // a combining mark before the backslash
    };
    for (const auto& c : cases) {
        const wchar_t* wide = reinterpret_cast<const wchar_t*>(c.text);
        const wchar_t* system = ::CharPrevW(wide, wide + c.position);
        EXPECT_EQ(system - wide, c.expected) << "case " << (&c - cases);
        EXPECT_EQ(platform::CharPrevW(c.text, c.text + c.position) - c.text, system - wide)
            << "case " << (&c - cases);
    }
}
