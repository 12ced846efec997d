#pragma once

#include "ui/Palette.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QString>
#include <QWidget>

#include <string>

namespace tallyglass {

// The few controls the welcome and settings windows share, drawn in the
// palette of the effective appearance.

// A colour for style sheets: "rgba(r,g,b,a)".
QString css(const Rgba& colour);

// An on/off switch: a track with a knob, the accent colour when on.
class ToggleSwitch final : public QAbstractButton {
    Q_OBJECT

public:
    explicit ToggleSwitch(QWidget* parent = nullptr);
    QSize sizeHint() const override { return {36, 20}; }

protected:
    void paintEvent(QPaintEvent* event) override;
};

// A symbol from the resources, tinted; `scale` lets it bounce.
class SymbolView final : public QWidget {
    Q_OBJECT
    Q_PROPERTY(qreal scale READ scale WRITE setScale)

public:
    SymbolView(std::string symbol, int size, QWidget* parent = nullptr);
    void setSymbol(std::string symbol);
    const std::string& symbol() const { return symbol_; }
    void setColour(Rgba colour);
    qreal scale() const { return scale_; }
    void setScale(qreal scale);
    // Grows a little and settles back, to draw the eye to a change.
    void bounce();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::string symbol_;
    int size_;
    Rgba colour_{};
    qreal scale_ = 1;
};

// A label in a size of the system font, wrapping and centred unless told.
QLabel* textLabel(const QString& text, int pixelSize, QWidget* parent, bool bold = false, Qt::Alignment align = Qt::AlignCenter);

// Where an update switch would be: there is no updater on this platform, and
// a switch that could not be turned on would only mislead.
QLabel* updatesNote(QWidget* parent);

// The large button of a step: accent background, rounded, a soft shadow below.
// Drawn by itself: a shadow effect would not show inside the fading step.
class PrimaryButton final : public QPushButton {
public:
    PrimaryButton(const QString& text, QWidget* parent = nullptr);
    QSize sizeHint() const override;
    // The face's colour, lighter under the pointer and lighter still pressed;
    // the text on it is the palette's onAccent.
    static Rgba face(const Palette& palette, bool pressed, bool hovered);

protected:
    void paintEvent(QPaintEvent* event) override;
};

// A menu picker drawn like the other controls: the choice and a chevron in a
// rounded box; the list it opens is the platform's.
class MenuPicker final : public QComboBox {
    Q_OBJECT

public:
    explicit MenuPicker(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace tallyglass
