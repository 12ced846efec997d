#include "core/Printable.h"

#include <gtest/gtest.h>

#include <string>

namespace tallyglass {
namespace {

// Each kind of text that could rewrite a terminal or a window, and names that must stay as they are.
TEST(Printable, controlsAndBrokenBytesBecomeVisibleEscapesAndEverythingElseStays)
{
    struct Case {
        std::string text;
        std::string shown;
    };
    const Case cases[] = {
        {"", ""},
        {"/home/ada/src/tallyglass", "/home/ada/src/tallyglass"},
        {"/srv/Caf\u00e9/\u65e5\u672c \U0001F600", "/srv/Caf\u00e9/\u65e5\u672c \U0001F600"},
        {"\x1b]0;pwned\x07", "\\x1b]0;pwned\\x07"},        // a window title set by an OSC sequence
        {"abc\x1b[2Kdef", "abc\\x1b[2Kdef"},               // erase the line
        {"progress\rdone", "progress\\rdone"},             // a bare carriage return
        {"a\nb\tc", "a\\nb\\tc"},
        {std::string("nul\0end", 7), "nul\\x00end"},
        {"\x7f\x1f", "\\x7f\\x1f"},                        // DEL and the last C0 control
        {"a\xc2\x85z\xc2\x9b", "a\\u0085z\\u009b"},        // C1 controls, NEL and CSI
        {"\xc2\xa0", "\xc2\xa0"},                          // the first character after them stays
        {"abc\u202egpj.exe", "abc\\u202egpj.exe"},         // a right-to-left override
        {"\u2066x\u2069\u2028", "\\u2066x\\u2069\\u2028"}, // isolates, a line separator
        {"/srv/caf\xe9", "/srv/caf\\xe9"},                 // Latin-1, not UTF-8
        {"\xc2", "\\xc2"},                                 // truncated at the end
        {"\xe2\x82z", "\\xe2\\x82z"},                      // truncated in the middle
        {"\xc0\xaf", "\\xc0\\xaf"},                        // overlong
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"},               // a surrogate
        {"\x85", "\\x85"},                                 // a lone byte, never confused with \u0085
        {"C:\\x1b", "C:\\\\x1b"},                          // a real backslash cannot pass for an escape
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(Printable::escaped(c.text), c.shown);
        EXPECT_EQ(Printable::isPlain(c.text), c.text == c.shown);
    }
}

} // namespace
} // namespace tallyglass
