#pragma once

#include "ui/Contrast.h"
#include "ui/ThemeManager.h"

#include <QFont>
#include <QLabel>
#include <QPushButton>
#include <QWidget>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace tallyglass::testing {

// A text of a window as its style sheet colours it: its colour, what lies
// behind it (the window's background, then each card it sits in), its size.
struct WidgetText {
    std::string name;
    Rgba colour;
    std::vector<Rgba> behind;
    double pixelSize = 0;
    bool bold = false;

    double ratio() const
    {
        Rgba under{0, 0, 0, 1};
        for (const Rgba& c : behind)
            under = Contrast::over(c, under);
        return Contrast::ratio(colour, under);
    }
    double required() const { return Contrast::required(pixelSize, bold); }
};

inline Rgba rgba(const QColor& c)
{
    return {c.redF(), c.greenF(), c.blueF(), c.alphaF()};
}

// Every label and plain button (shown or not, so that an error waiting to
// show counts too), over `background` and each ancestor with role "card"
// filled with `card`.
inline std::vector<WidgetText> widgetTexts(QWidget* root, Rgba background, Rgba card)
{
    std::vector<WidgetText> out;
    const auto add = [&](QWidget* widget, const QString& text, QPalette::ColorRole role) {
        widget->ensurePolished();
        std::vector<Rgba> behind{background};
        std::vector<Rgba> cards;
        for (QWidget* w = widget->parentWidget(); w && w != root; w = w->parentWidget())
            if (w->property("role").toString() == "card")
                cards.insert(cards.begin(), card);
        behind.insert(behind.end(), cards.begin(), cards.end());
        const QFont font = widget->font();
        const std::string name = text.isEmpty() ? widget->objectName().toStdString() : text.left(40).toStdString();
        out.push_back({name, rgba(widget->palette().color(role)), behind, static_cast<double>(font.pixelSize()),
                       font.weight() >= QFont::DemiBold});
    };
    for (QLabel* label : root->findChildren<QLabel*>())
        if (label->pixmap().isNull())
            add(label, label->text(), QPalette::WindowText);
    for (QPushButton* button : root->findChildren<QPushButton*>())
        if (button->property("role").toString() == "plain")
            add(button, button->text(), QPalette::ButtonText);
    return out;
}

// Runs `check` in the light theme, then the dark, each applied to every window.
inline void inBothThemes(const std::function<void(const Palette&)>& check)
{
    for (const bool dark : {false, true}) {
        SCOPED_TRACE(dark ? "dark" : "light");
        ThemeManager::shared().setSchemeSource([dark] { return std::optional<bool>(dark); });
        ThemeManager::shared().apply();
        check(dark ? Palette::dark() : Palette::light());
    }
}

inline void expectReadable(const std::vector<WidgetText>& texts)
{
    for (const auto& text : texts)
        EXPECT_GE(text.ratio(), text.required()) << text.name;
}

} // namespace tallyglass::testing
