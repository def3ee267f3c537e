// The host's own character-before step against the system's CharPrevW
// (USER32), on the positions the instance naming steps back from, so the two
// cannot drift apart. Windows builds only; the host exe links no USER32.
#include "platform/platform.h"

#include <windows.h>

#include <gtest/gtest.h>

TEST(CharPrevContract, StepsBackAsTheSystemDoes) {
    const struct {
        const char16_t* text;
        std::ptrdiff_t position, expected;
    } cases[] = {
        {u"C:\\site3\\x.exe", 8, 7},           // the backslash after the start
        {u"C:\\site3\\x.exe", 1, 0},           // one after the start
        {u"\\x.exe", 0, 0},                    // a backslash at the start
        {u"x.exe", 0, 0},                      // the start
        {u"C:\\site\U0001F600\\x.exe", 9, 8},  // a surrogate pair before the backslash
        {u"C:\\site3\u0301\\x.exe", 9, 8},     // a combining mark before the backslash
    };
    for (const auto& c : cases) {  // the position stepped to: the system's, then the host's
        const wchar_t* wide = reinterpret_cast<const wchar_t*>(c.text);
        EXPECT_EQ(std::make_pair(c.expected, c.expected),
                  std::make_pair(::CharPrevW(wide, wide + c.position) - wide,
                                 platform::CharPrevW(c.text, c.text + c.position) - c.text))
            << "case " << (&c - cases);
    }
}
