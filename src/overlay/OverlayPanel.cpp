#include "overlay/OverlayPanel.h"

#include "overlay/OverlayLayout.h"

#include <QGuiApplication>
#include <QPainterPath>
#include <QRegion>
#include <QScreen>
#include <QVBoxLayout>

#include <xcb/xcb.h>

#include <cstring>
#include <string>

namespace tallyglass {

namespace {

xcb_atom_t atom(xcb_connection_t* connection, const char* name)
{
    xcb_intern_atom_reply_t* reply =
        xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
    if (!reply)
        return XCB_ATOM_NONE;
    const xcb_atom_t result = reply->atom;
    std::free(reply);
    return result;
}

// An EWMH request to the window manager about a mapped window (the root window
// gets it; the manager acts on it).
void sendToWindowManager(xcb_connection_t* connection, xcb_window_t root, xcb_window_t window, xcb_atom_t type,
                         std::uint32_t d0, std::uint32_t d1, std::uint32_t d2)
{
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = type;
    event.data.data32[0] = d0;
    event.data.data32[1] = d1;
    event.data.data32[2] = d2;
    event.data.data32[3] = 1; // from a normal application
    xcb_send_event(connection, 0, root, XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&event));
}

// The screen number of the root window `window` lives on, as the
// compositing manager's selection names it.
int screenNumberOf(xcb_connection_t* connection, xcb_window_t window)
{
    xcb_get_geometry_reply_t* geometry = xcb_get_geometry_reply(connection, xcb_get_geometry(connection, window), nullptr);
    if (!geometry)
        return 0;
    const xcb_window_t root = geometry->root;
    std::free(geometry);
    int number = 0;
    for (auto roots = xcb_setup_roots_iterator(xcb_get_setup(connection)); roots.rem; xcb_screen_next(&roots), ++number) {
        if (roots.data->root == root)
            return number;
    }
    return 0;
}

// EWMH: a compositing manager owns the selection _NET_WM_CM_S<screen> for as long as it runs.
bool compositorOwnsSelection(xcb_connection_t* connection, xcb_window_t window)
{
    const std::string name = "_NET_WM_CM_S" + std::to_string(screenNumberOf(connection, window));
    const xcb_atom_t selection = atom(connection, name.c_str());
    if (selection == XCB_ATOM_NONE)
        return false;
    xcb_get_selection_owner_reply_t* reply =
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, selection), nullptr);
    if (!reply)
        return false;
    const bool owned = reply->owner != XCB_NONE;
    std::free(reply);
    return owned;
}

} // namespace

OverlayPanel::OverlayPanel(QWidget* content)
{
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus
                   | Qt::NoDropShadowWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_X11DoNotAcceptFocus);
    setAttribute(Qt::WA_AlwaysShowToolTips); // the window is never active, its tooltips still show
    setFocusPolicy(Qt::NoFocus);
    setWindowTitle("Tallyglass overlay");
    setFixedSize(defaultWidth, defaultHeight);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(content, 0, Qt::AlignLeft | Qt::AlignTop);
}

QPoint OverlayPanel::originFor(const QRect& available)
{
    return {available.x() + available.width() - defaultWidth - margin, available.y() + margin};
}

void OverlayPanel::placeOnPrimaryScreen()
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    move(originFor(screen ? screen->availableGeometry() : QRect()));
}

void OverlayPanel::showWithoutFocus()
{
    show();
    raise();
    applyWindowManagerHints();
}

void OverlayPanel::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    applyWindowManagerHints();
    updateShape();
}

void OverlayPanel::setCardHeight(int height)
{
    if (height == cardHeight_)
        return;
    cardHeight_ = height;
    updateShape();
}

QRegion OverlayPanel::cardShape(int width, int height)
{
    QPainterPath card;
    card.addRoundedRect(QRectF(0, 0, width, height), OverlayLayout::cornerRadius, OverlayLayout::cornerRadius);
    // A polygon's region holds the pixels whose centres lie inside it.
    return QRegion(card.toFillPolygon().toPolygon());
}

bool OverlayPanel::isTranslucencyShown() const
{
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (QGuiApplication::platformName() != "xcb" || !x11 || !x11->connection() || !windowHandle())
        return true; // Wayland composites always; offscreen keeps what is painted
    return compositorOwnsSelection(x11->connection(), static_cast<xcb_window_t>(winId()));
}

// Asked again at every change of the card, so a compositor started or ended
// since is followed by the next one.
void OverlayPanel::updateShape()
{
    if (!isVisible())
        return;
    if (isTranslucencyShown())
        clearMask();
    else
        setMask(cardShape(width(), cardHeight_));
}

void OverlayPanel::applyWindowManagerHints()
{
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (QGuiApplication::platformName() != "xcb" || !x11 || !x11->connection() || !windowHandle())
        return; // Wayland or offscreen: what the platform gives is what there is
    xcb_connection_t* connection = x11->connection();
    const auto window = static_cast<xcb_window_t>(winId());
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    const xcb_atom_t state = atom(connection, "_NET_WM_STATE");
    const xcb_atom_t desktop = atom(connection, "_NET_WM_DESKTOP");
    constexpr std::uint32_t add = 1;
    // On every desktop, above other windows, and in neither taskbar nor pager (nor so the switcher).
    const std::uint32_t everyDesktop = 0xFFFFFFFF;
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, window, desktop, XCB_ATOM_CARDINAL, 32, 1, &everyDesktop);
    sendToWindowManager(connection, screen->root, window, desktop, everyDesktop, 0, 0);
    for (const char* name : {"_NET_WM_STATE_STICKY", "_NET_WM_STATE_ABOVE", "_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER"})
        sendToWindowManager(connection, screen->root, window, state, add, atom(connection, name), 0);
    xcb_flush(connection);
}

} // namespace tallyglass
