#include "hook/SettingsJson.h"

#include <gtest/gtest.h>

namespace tallyglass {
namespace {

using json = nlohmann::json;

TEST(SettingsJson, writtenSortedPrettyAndWithEscapedSlashes)
{
    const json settings = {{"b", "a/b"}, {"a", {{"path", "/x/y"}}}, {"n", 9007199254740993LL}, {"f", 0.1}, {"u", "\xC3\xA9"},
                           {"e", {{"list", json::array()}, {"map", json::object()}}}, {"l", {1, json::array({"\t"}), nullptr}}};
    const std::string text = SettingsJson::serialise(settings);
    EXPECT_EQ(text, "{\n  \"a\": {\n    \"path\": \"\\/x\\/y\"\n  },\n  \"b\": \"a\\/b\",\n"
                    "  \"e\": {\n    \"list\": [],\n    \"map\": {}\n  },\n  \"f\": 0.1,\n"
                    "  \"l\": [\n    1,\n    [\n      \"\\t\"\n    ],\n    null\n  ],\n"
                    "  \"n\": 9007199254740993,\n  \"u\": \"\xC3\xA9\"\n}\n");
    EXPECT_EQ(json::parse(text), settings);
}

// A number comes back as it was written wherever it stands, also where its
// value would be written otherwise (or not at all: 1e400 has no double); the
// numbers whose text their value gives back stay plain values.
TEST(SettingsJson, everyNumberKeepsItsText)
{
    const std::pair<std::string, bool> cases[] = { // the number, whether it stays a plain value
        {"123456789012345678901234567890", false},
        {"18446744073709551616", false},
        {"1e400", false},
        {"-1e400", false},
        {"1e-400", false},
        {std::string(400, '9'), false},
        {"0.1000000000000000055511", false},
        {"1.50", false},
        {"1E2", false},
        {"-0", false},
        {"1.0", true},
        {"0.1", true},
        {"-0.0", true},
        {"9223372036854775807", true},
        {"18446744073709551615", true},
        {"42", true},
    };
    for (const auto& [number, plain] : cases) {
        SCOPED_TRACE(number);
        // The string holds what looks like numbers, escaped quotes and a final backslash.
        const std::string text = R"({"s": "x \"-0\" 1e400 \\", "n": )" + number + R"(, "l": [)" + number + R"(, {"k": )"
            + number + "}]}";
        const json settings = SettingsJson::parse(text);
        EXPECT_EQ(settings["n"].is_number(), plain);
        EXPECT_EQ(SettingsJson::serialise(settings),
                  "{\n  \"l\": [\n    " + number + ",\n    {\n      \"k\": " + number + "\n    }\n  ],\n  \"n\": " + number
                      + ",\n  \"s\": \"x \\\"-0\\\" 1e400 \\\\\"\n}\n");
    }
}

} // namespace
} // namespace tallyglass
