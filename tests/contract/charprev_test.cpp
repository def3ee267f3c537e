// The host's character-before step as Windows documents CharPrevW: a base
// character and the nonspacing marks after it are one character. Wine's
// CharPrevW steps back one UTF-16 unit, so the system's own is no yardstick
// here; Microsoft's examples are, with the positions the instance naming
// steps back from.
#include "platform/platform.h"

#include <gtest/gtest.h>

TEST(CharPrevContract, StepsBackAsWindowsDocuments) {
    const struct {
        const char16_t* text;
        std::ptrdiff_t position, expected;
    } cases[] = {
        {u"a\u030a", 2, 0},                    // "a" and COMBINING RING ABOVE
        {u"a\u0301\u0302\u0303\u0304", 5, 0},  // "a" and four marks
        // One from each further block of combining marks (their extensions,
        // supplement, the marks for symbols, the half marks), and two just
        // outside the blocks: letters of their own.
        {u"x\u1ab0", 2, 0},
        {u"x\u1dff", 2, 0},
        {u"x\u20d7", 2, 0},
        {u"x\u20ff", 2, 0},
        {u"x\ufe20", 2, 0},
        {u"x\ufe30", 2, 1},
        {u"x\u20cf", 2, 1},
        {u"xa\u0301\u0302\u0303\u0304", 6, 1},  // the same after a character
        {u"C:\\site3\\x.exe", 8, 7},            // the backslash after the directory
        {u"C:\\site3\u0301\\x.exe", 9, 7},      // a mark on the directory's last letter
        {u"C:\\site\u00e9\\x.exe", 8, 7},       // a precomposed letter is one unit
        {u"C:\\site3\\x.exe", 1, 0},            // one after the start
        {u"\u0301\\x.exe", 1, 0},               // a mark at the start
        {u"\\x.exe", 0, 0},                     // the start
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected, platform::CharPrevW(c.text, c.text + c.position) - c.text)
            << "case " << (&c - cases);
    }
}
