#include "ui/Controls.h"

#include "ui/Scene.h"
#include "ui/ScenePainter.h"
#include "ui/ThemeManager.h"

#include <QPainter>
#include <QPropertyAnimation>
#include <QSequentialAnimationGroup>

namespace tallyglass {

QString css(const Rgba& c)
{
    return QString("rgba(%1,%2,%3,%4)")
        .arg(static_cast<int>(c.r * 255))
        .arg(static_cast<int>(c.g * 255))
        .arg(static_cast<int>(c.b * 255))
        .arg(c.a);
}

ToggleSwitch::ToggleSwitch(QWidget* parent)
    : QAbstractButton(parent)
{
    setCheckable(true);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
    setFixedSize(sizeHint());
}

void ToggleSwitch::paintEvent(QPaintEvent*)
{
    const Palette& p = paletteFor(this);
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setOpacity(isEnabled() ? 1.0 : 0.45);
    const QRectF track = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const Rgba on = p.accent;
    // The muted text colour, faint: the grid-line colour vanished on light backgrounds.
    const Rgba off{p.textMuted.r, p.textMuted.g, p.textMuted.b, 0.35};
    const Rgba fill = isChecked() ? on : off;
    painter.setPen(QPen(QColor::fromRgbF(static_cast<float>(p.border.r), static_cast<float>(p.border.g), static_cast<float>(p.border.b),
                                         static_cast<float>(p.border.a)),
                        0.5));
    painter.setBrush(QColor::fromRgbF(static_cast<float>(fill.r), static_cast<float>(fill.g), static_cast<float>(fill.b),
                                      static_cast<float>(fill.a)));
    painter.drawRoundedRect(track, track.height() / 2, track.height() / 2);
    const qreal knob = track.height() - 4;
    const qreal x = isChecked() ? track.right() - 2 - knob : track.left() + 2;
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    painter.drawEllipse(QRectF(x, track.top() + 2, knob, knob));
    if (hasFocus()) {
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(QColor::fromRgbF(static_cast<float>(on.r), static_cast<float>(on.g), static_cast<float>(on.b)), 1));
        painter.drawRoundedRect(track.adjusted(-1, -1, 1, 1), track.height() / 2 + 1, track.height() / 2 + 1);
    }
}

SymbolView::SymbolView(std::string symbol, int size, QWidget* parent)
    : QWidget(parent)
    , symbol_(std::move(symbol))
    , size_(size)
{
    // Room to grow when it bounces.
    setFixedSize(static_cast<int>(size * 1.3), static_cast<int>(size * 1.3));
}

void SymbolView::setSymbol(std::string symbol)
{
    symbol_ = std::move(symbol);
    update();
}

void SymbolView::setColour(Rgba colour)
{
    colour_ = colour;
    update();
}

void SymbolView::setScale(qreal scale)
{
    scale_ = scale;
    update();
}

void SymbolView::bounce()
{
    auto* group = new QSequentialAnimationGroup(this);
    auto* up = new QPropertyAnimation(this, "scale", group);
    up->setDuration(140);
    up->setStartValue(1.0);
    up->setEndValue(1.2);
    up->setEasingCurve(QEasingCurve::OutQuad);
    auto* down = new QPropertyAnimation(this, "scale", group);
    down->setDuration(220);
    down->setStartValue(1.2);
    down->setEndValue(1.0);
    down->setEasingCurve(QEasingCurve::OutBack);
    group->addAnimation(up);
    group->addAnimation(down);
    group->start(QAbstractAnimation::DeleteWhenStopped);
}

void SymbolView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const double side = size_ * scale_;
    const Scene::Rect area{(width() - side) / 2, (height() - side) / 2, side, side};
    ScenePainter::paintItem(painter, Scene::Icon{area, symbol_, Scene::Fill::solid(colour_), 1, {}});
}

QLabel* textLabel(const QString& text, int pixelSize, QWidget* parent, bool bold, Qt::Alignment align)
{
    auto* label = new QLabel(text, parent);
    QFont font = label->font();
    font.setPixelSize(pixelSize);
    font.setWeight(bold ? QFont::DemiBold : QFont::Normal);
    label->setFont(font);
    label->setWordWrap(true);
    label->setAlignment(align);
    label->setTextFormat(Qt::PlainText); // errors quote the user's file: never markup
    return label;
}

QLabel* updatesNote(QWidget* parent)
{
    QLabel* note = textLabel("Updates come from your package manager", 11, parent, false, Qt::AlignRight | Qt::AlignVCenter);
    note->setObjectName("updatesNote");
    note->setProperty("role", "muted");
    note->setFixedWidth(150); // two lines beside the row's own texts
    return note;
}

PrimaryButton::PrimaryButton(const QString& text, QWidget* parent)
    : QPushButton(text, parent)
{
    QFont font = this->font();
    font.setPixelSize(16);
    font.setWeight(QFont::DemiBold);
    setFont(font);
    setCursor(Qt::PointingHandCursor);
    setAutoDefault(false);
    setMaximumWidth(280);
}

QSize PrimaryButton::sizeHint() const
{
    const int text = fontMetrics().horizontalAdvance(this->text());
    return {std::min(280, std::max(200, text + 64)), 44 + 8}; // room below for the shadow
}

Rgba PrimaryButton::face(const Palette& palette, bool pressed, bool hovered)
{
    const double strength = pressed ? 0.75 : hovered ? 0.88 : 1.0;
    return palette.accent.withOpacity(palette.accent.a * strength);
}

void PrimaryButton::paintEvent(QPaintEvent*)
{
    const Palette& p = paletteFor(this);
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF face(0.5, 0.5, width() - 1, height() - 9);
    const auto colour = [](const Rgba& c, double alpha) {
        return QColor::fromRgbF(static_cast<float>(c.r), static_cast<float>(c.g), static_cast<float>(c.b), static_cast<float>(alpha));
    };
    painter.setPen(Qt::NoPen);
    for (int i = 6; i >= 1; --i) { // a soft shadow, darker near the button
        painter.setBrush(colour(p.accentShadow, p.accentShadow.a * 0.12));
        painter.drawRoundedRect(face.adjusted(i * 0.5, 2 + i * 0.6, -i * 0.5, i * 0.8), 10 + i * 0.5, 10 + i * 0.5);
    }
    const Rgba faceColour = PrimaryButton::face(p, isDown(), underMouse());
    painter.setBrush(colour(faceColour, faceColour.a));
    painter.drawRoundedRect(face, 10, 10);
    if (hasFocus()) {
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(QColor(255, 255, 255, 90), 1));
        painter.drawRoundedRect(face.adjusted(2, 2, -2, -2), 8, 8);
    }
    painter.setPen(QColor::fromRgbF(static_cast<float>(p.onAccent.r), static_cast<float>(p.onAccent.g), static_cast<float>(p.onAccent.b),
                                    static_cast<float>(p.onAccent.a)));
    painter.setFont(font());
    painter.drawText(face, Qt::AlignCenter, text());
}

MenuPicker::MenuPicker(QWidget* parent)
    : QComboBox(parent)
{
    setCursor(Qt::PointingHandCursor);
}

void MenuPicker::paintEvent(QPaintEvent*)
{
    const Palette& p = paletteFor(this);
    const auto colour = [](const Rgba& c) {
        return QColor::fromRgbF(static_cast<float>(c.r), static_cast<float>(c.g), static_cast<float>(c.b), static_cast<float>(c.a));
    };
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    painter.setPen(QPen(hasFocus() ? colour(p.accent) : colour(p.border), 1));
    painter.setBrush(colour(underMouse() ? p.chartGridLine : p.surfaceElevated));
    painter.drawRoundedRect(box, 6, 6);
    painter.setPen(colour(p.textPrimary));
    painter.setFont(font());
    painter.drawText(box.adjusted(10, 0, -26, 0), Qt::AlignVCenter | Qt::AlignLeft, currentText());
    const double side = 9;
    ScenePainter::paintItem(painter, Scene::Icon{Scene::Rect{box.right() - 10 - side, box.center().y() - side / 2, side, side},
                                                 "chevron.down", Scene::Fill::solid(p.textMuted), 1, {}});
}

} // namespace tallyglass
