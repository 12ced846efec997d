#include "core/ZoneNames.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>

namespace tallyglass {
namespace {

// The system's zone database (Debian's tzdata) knows the zones by name; a
// name that is not one, or that reaches outside the database, is said in one
// sentence with the nearest real name when there is one.
TEST(ZoneNames, anUnknownZoneIsSaidWithTheNearestKnownOne)
{
    const std::pair<const char*, const char*> cases[] = {
        { "Asia/Kolkata", nullptr },
        { "Australia/Adelaide", nullptr },
        { "Asia/Calcutta", nullptr }, // an alias
        { "UTC", nullptr },
        { "Asia/Kolkatta", "unknown time zone 'Asia/Kolkatta'; did you mean 'Asia/Kolkata'?" },
        { "europe/berlin", "unknown time zone 'europe/berlin'; did you mean 'Europe/Berlin'?" },
        { "Mars/Olympus_Mons", "unknown time zone 'Mars/Olympus_Mons'" },
        { "../../../etc/passwd", "unknown time zone '../../../etc/passwd'" },
        { "/usr/share/zoneinfo/UTC", "unknown time zone '/usr/share/zoneinfo/UTC'" },
        { "zone1970.tab", "unknown time zone 'zone1970.tab'" },
    };
    for (const auto& [name, sentence] : cases) {
        const auto problem = ZoneNames::problem(name);
        if (!sentence)
            EXPECT_FALSE(problem) << name << ": " << *problem;
        else
            EXPECT_EQ(problem.value_or("(known)"), sentence);
    }
}

// Without tzdata.zi the list comes from zone1970.tab.
TEST(ZoneNames, theListComesFromTheZoneTableWhenTheCompactOneIsMissing)
{
    const auto folder = test::freshDirectory();
    std::ofstream(folder / "zone1970.tab")
        << "# comment\nIN\t+2232+08822\tAsia/Kolkata\nAU\t-3455+13835\tAustralia/Adelaide\n";
    EXPECT_EQ(ZoneNames::all(folder), (std::vector<std::string> { "Asia/Kolkata", "Australia/Adelaide", "UTC" }));
    EXPECT_EQ(ZoneNames::problem("Asia/Kolkatta", folder).value_or(""),
        "unknown time zone 'Asia/Kolkatta'; did you mean 'Asia/Kolkata'?");
}

} // namespace
} // namespace tallyglass
