#include "ui/RollingText.h"
#include "ui/Spring.h"

#include <gtest/gtest.h>

namespace tallyglass {
namespace {

using namespace Scene;

// Every character six wide, as in a monospaced face.
double sixWide(const std::string& text, const Font&)
{
    return 6.0 * static_cast<double>(text.size());
}

// A glyph as drawn: what, where (left edge, and how far off the box's line), how opaque.
struct Glyph {
    std::string text;
    double x = 0;
    double offset = 0;
    double opacity = 1;
};

void expectGlyphs(const std::vector<Item>& items, const Text& target, const std::vector<Glyph>& wanted)
{
    ASSERT_EQ(items.size(), wanted.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        SCOPED_TRACE(wanted[i].text + " #" + std::to_string(i));
        const auto* text = std::get_if<Text>(&items[i]);
        ASSERT_TRUE(text);
        EXPECT_EQ(text->text, wanted[i].text);
        EXPECT_DOUBLE_EQ(text->rect.x, wanted[i].x);
        EXPECT_NEAR(text->rect.y - target.rect.y, wanted[i].offset, 1e-9);
        EXPECT_NEAR(text->color.a, wanted[i].opacity, 1e-9);
        ASSERT_TRUE(text->clip);
        EXPECT_EQ(*text->clip, target.rect); // nothing shows outside the figure's box
    }
}

TEST(RollingText, changedCharactersRollThroughTheBoxWhileTheSameOnesStandStill)
{
    struct Case {
        const char* name;
        const char* previous;
        const char* shown;
        Align align;
        bool rising;
        double progress;
        std::vector<Glyph> glyphs;
    };
    // A 48-wide box at x 100, 10 high: right-aligned texts end at 148.
    const std::vector<Case> cases = {
        {"at the start the old text is in place, the new one waits below", "12k", "13k", Align::right, true, 0,
         {{"k", 142, 0, 1}, {"2", 136, 0, 1}, {"3", 136, 10, 0}, {"1", 130, 0, 1}}},
        {"halfway both are half out, the old one upwards", "12k", "13k", Align::right, true, 0.5,
         {{"k", 142, 0, 1}, {"2", 136, -5, 0.5}, {"3", 136, 5, 0.5}, {"1", 130, 0, 1}}},
        {"a falling figure rolls downwards", "13k", "12k", Align::right, false, 0.25,
         {{"k", 142, 0, 1}, {"3", 136, 2.5, 0.75}, {"2", 136, -7.5, 0.25}, {"1", 130, 0, 1}}},
        {"a longer text lines up at the right and its extra digit rolls in alone", "999", "1k", Align::right, true, 0.5,
         {{"9", 142, -5, 0.5}, {"k", 142, 5, 0.5}, {"9", 136, -5, 0.5}, {"1", 136, 5, 0.5}, {"9", 130, -5, 0.5}}},
        {"left-aligned texts line up at the left", "9", "10", Align::left, true, 0.5,
         {{"9", 100, -5, 0.5}, {"1", 100, 5, 0.5}, {"0", 106, 5, 0.5}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Text target = text({100, 20, 48, 10}, c.shown, {9, 400, true}, {1, 1, 1, 1}, c.align);
        expectGlyphs(RollingText::layout(target, c.previous, c.rising, c.progress, sixWide), target, c.glyphs);
    }
}

TEST(RollingText, aSettledOrUnchangedFigureIsItsTextAlone)
{
    const Text target = text({100, 20, 48, 10}, "13k", {9, 400, true}, {1, 1, 1, 1}, Align::right);
    for (const auto& [previous, progress] : {std::pair{"12k", 1.0}, {"12k", 1.004}, {"13k", 0.3}}) {
        const auto items = RollingText::layout(target, previous, true, progress, sixWide);
        ASSERT_EQ(items.size(), 1u);
        EXPECT_EQ(std::get<Text>(items[0]), target);
    }
}

TEST(RollingText, theSpringSettlesInAboutHalfASecondWithoutVisibleOvershoot)
{
    const Spring spring; // response 0.4 s, damping fraction 0.85
    EXPECT_EQ(spring.progress(0), 0);
    EXPECT_GT(spring.progress(0.1), 0.4); // quick off the mark
    EXPECT_LT(spring.progress(0.1), 0.6);
    EXPECT_GT(spring.progress(0.3), 0.97);
    double highest = 0;
    for (double t = 0; t < 1; t += 0.005)
        highest = std::max(highest, spring.progress(t));
    EXPECT_LT(highest, 1.01);
    EXPECT_GT(spring.settleSeconds(), 0.4);
    EXPECT_LT(spring.settleSeconds(), 0.7);
    EXPECT_EQ(spring.progress(spring.settleSeconds()), 1);
}

} // namespace
} // namespace tallyglass
