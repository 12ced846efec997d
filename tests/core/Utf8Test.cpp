#include "core/Utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace tallyglass {
namespace {

TEST(Utf8, acceptsWellFormedTextAndRefusesEveryKindOfMalformedSequence)
{
    struct Case {
        std::string bytes;
        bool valid;
    };
    const Case cases[] = {
        {"", true},
        {"plain ascii, long enough to take the eight-byte path", true},
        {"caf\xC3\xA9 \xE2\x80\x94 \xF0\x9F\x98\x80", true},
        {std::string("nul\0inside", 10), true},
        {"\xC3", false},                 // truncated
        {"abcdefgh\xE2\x80", false},     // truncated after the fast path
        {"\xC0\xAF", false},             // overlong '/'
        {"\xE0\x80\xAF", false},         // overlong
        {"\xED\xA0\x80", false},         // surrogate
        {"\xF4\x90\x80\x80", false},     // above U+10FFFF
        {"\x80", false},                 // stray continuation
        {"\xFF", false},
        {"\xC3\x28", false},             // bad continuation
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(Utf8::isValid(c.bytes), c.valid);
    }
}

TEST(Utf8, blankMeansOnlyUnicodeWhiteSpaceAndLineBreaks)
{
    EXPECT_TRUE(Utf8::isBlank(""));
    EXPECT_TRUE(Utf8::isBlank(" \t\r\n\v\f"));
    EXPECT_TRUE(Utf8::isBlank("\xC2\xA0\xE2\x80\xA8\xE3\x80\x80")); // NBSP, LINE SEPARATOR, IDEOGRAPHIC SPACE
    EXPECT_FALSE(Utf8::isBlank(" x "));
    EXPECT_FALSE(Utf8::isBlank("\xE2\x80\x8B")); // ZERO WIDTH SPACE is not white space
    EXPECT_FALSE(Utf8::isBlank(" \xC2"));
}

} // namespace
} // namespace tallyglass
