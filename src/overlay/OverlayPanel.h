#pragma once

#include <QWidget>

namespace tallyglass {

// The overlay's window: frameless, transparent outside the card, above other
// windows, on every virtual desktop, out of the taskbar and the window
// switcher, and never taking the keyboard focus from the application the
// user works in (clicks on the card and its menu still work). Qt has flags
// for most of that; on X11 the rest are window-manager hints set here.
class OverlayPanel final : public QWidget {
public:
    static constexpr int defaultWidth = 216;
    static constexpr int defaultHeight = 236;
    static constexpr int margin = 24;

    explicit OverlayPanel(QWidget* content);

    // 24 pixels from the right and top edges of the primary screen's available area.
    void placeOnPrimaryScreen();
    // Shows (or raises) the panel without activating anything.
    void showWithoutFocus();

    // Where the panel goes on a screen whose available area is `available`.
    static QPoint originFor(const QRect& available);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void applyWindowManagerHints();
};

} // namespace tallyglass
