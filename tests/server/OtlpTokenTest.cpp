#include "server/OtlpToken.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>

namespace tallyglass {
namespace {

mode_t modeOf(const std::filesystem::path& path)
{
    struct stat status {};
    ::stat(path.c_str(), &status);
    return status.st_mode & 07777;
}

// The first opening makes a secret only its owner can read; every later one
// (and a restart) uses the same, so exporters set up once keep working.
TEST(OtlpToken, isMadePrivateOnceFromRandomBytesAndThenReused)
{
    const auto folder = test::freshDirectory() / "tallyglass";
    const auto path = folder / "otlp-token";
    const auto first = OtlpToken::ensure(path, "token");
    ASSERT_EQ(first.problem, "");
    EXPECT_TRUE(first.created);
    EXPECT_EQ(first.token.size(), 64U);
    EXPECT_EQ(first.token.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(modeOf(path), 0600U);
    EXPECT_EQ(test::fileText(path), first.token + "\n");
    const auto again = OtlpToken::ensure(path, "token");
    EXPECT_FALSE(again.created);
    EXPECT_EQ(again.token, first.token);
    EXPECT_NE(OtlpToken::ensure(test::freshDirectory() / "otlp-token", "token").token, first.token);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1); // nothing left aside
}

// A token others could have read is no secret any more, so it is not used (nor
// quietly repaired); nor is one too short to resist guessing. A token of the
// user's own, well formed, is taken as written.
TEST(OtlpToken, aFileOthersCanReadOrWithoutAUsableTokenIsRefusedAsIs)
{
    const std::string own = "collector-" + std::string(40, 'Z') + "_~+/=";
    struct Case {
        std::string text;
        mode_t mode;
        std::string token;   // empty: refused
        std::string problem; // part of the sentence said
    };
    const Case cases[] = {
        {"  " + own + "\r\n", 0600, own, ""},
        {own, 0400, own, ""},
        {own, 0644, "", "can be read by other users (mode 0644)"},
        {own, 0640, "", "mode 0640"},
        {std::string(31, 'a'), 0600, "", "holds no usable token"},
        {"two words " + own, 0600, "", "holds no usable token"},
        {"", 0600, "", "holds no usable token"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const auto path = test::freshDirectory() / "otlp-token";
        std::ofstream(path) << c.text;
        ::chmod(path.c_str(), c.mode);
        const auto loaded = OtlpToken::ensure(path, "~/.config/tallyglass/otlp-token");
        EXPECT_EQ(loaded.token, c.token);
        EXPECT_FALSE(loaded.created);
        if (!c.problem.empty()) {
            EXPECT_TRUE(loaded.problem.starts_with("~/.config/tallyglass/otlp-token: ")) << loaded.problem;
            EXPECT_NE(loaded.problem.find(c.problem), std::string::npos) << loaded.problem;
        }
        EXPECT_EQ(modeOf(path), c.mode);
        EXPECT_EQ(test::fileText(path), c.text);
    }
}

} // namespace
} // namespace tallyglass
