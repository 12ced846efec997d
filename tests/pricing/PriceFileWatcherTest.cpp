#include "pricing/PriceFileWatcher.h"

#include "pricing/ModelPricingCatalog.h"
#include "pricing/PriceList.h"
#include "support/QtTestApp.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace tallyglass {
namespace {

std::string fableAt(int input)
{
    return R"({"models": {"claude-fable-5": {"input": )" + std::to_string(input)
        + R"(, "output": 15, "cacheWrite": 3.75, "cacheRead": 0.3}}})";
}

// Editors save by writing a new file and renaming it over the old one.
void saveAsEditorsDo(const std::filesystem::path& path, const std::string& text)
{
    const auto fresh = path.parent_path() / ".prices.json.swp";
    std::ofstream(fresh) << text;
    std::filesystem::rename(fresh, path);
}

double fableInput()
{
    const auto found = ModelPricingCatalog::current()->find("claude-fable-5");
    return found ? found->standard->inputPerMTok : -1;
}

// Made, renamed over, written in place, broken and deleted: each change of the
// file puts its list in use and asks for the stored costs once; a broken file
// is said once, puts the built-in list in use and asks for nothing.
TEST(PriceFileWatcher, everyWayTheFileChangesIsFollowedAndABrokenFileRepricesNothing)
{
    test::qtApp();
    const auto folder = test::freshDirectory();
    const auto path = folder / "prices.json";
    int priceAgain = 0;
    int reread = 0;
    PriceFileWatcher watcher(path, "~/prices.json", [&priceAgain] { ++priceAgain; }, std::chrono::milliseconds(0));
    QObject::connect(&watcher, &PriceFileWatcher::reread, [&reread] { ++reread; });
    const auto after = [&](const std::function<void()>& change) {
        const int before = reread;
        change();
        return test::waitUntil([&] { return reread > before; });
    };

    ASSERT_TRUE(after([&] { std::ofstream(path) << fableAt(3); }));
    EXPECT_TRUE(test::waitUntil([&] { return fableInput() == 3; })) << fableInput();
    EXPECT_EQ(priceAgain, 1);

    ASSERT_TRUE(after([&] { saveAsEditorsDo(path, fableAt(4)); }));
    EXPECT_TRUE(test::waitUntil([&] { return fableInput() == 4; })) << fableInput();
    EXPECT_EQ(priceAgain, 2);

    // The file renamed in is watched too: a write in place after it is seen.
    ASSERT_TRUE(after([&] { std::ofstream(path) << fableAt(5); }));
    EXPECT_TRUE(test::waitUntil([&] { return fableInput() == 5; })) << fableInput();

    testing::internal::CaptureStderr();
    const int beforeBroken = priceAgain;
    ASSERT_TRUE(after([&] { saveAsEditorsDo(path, R"({"models": {"claude-fable-5": {"input": "3"}}})"); }));
    ASSERT_TRUE(after([&] { std::filesystem::last_write_time(path, std::filesystem::file_time_type::clock::now()); }));
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(said, "[tallyglass] ~/prices.json line 1: expected a number for 'input'; until it is mended, prices come "
                    "from the built-in list\n");
    EXPECT_EQ(fableInput(), -1);
    EXPECT_FALSE(ModelPricingCatalog::current()->repricesStored());
    EXPECT_EQ(priceAgain, beforeBroken);

    ASSERT_TRUE(after([&] { std::filesystem::remove(path); }));
    EXPECT_TRUE(test::waitUntil([&] { return ModelPricingCatalog::current()->repricesStored(); }));
    EXPECT_EQ(priceAgain, beforeBroken + 1);
    ModelPricingCatalog::use(nullptr);
}

} // namespace
} // namespace tallyglass
