#include "app/DesktopStart.h"

#include "app/DesktopApp.h"
#include "app/ProcessStart.h"

#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QLibraryInfo>

#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>

namespace tallyglass::DesktopStart {

namespace {

// Where the desktop application can open its windows. Under Wayland a plain
// client can neither place itself nor stay above others, so the overlay runs
// through XWayland when there is one. False (and one line said) without any display.
// Without its platform plugin Qt would abort rather than say what is missing.
bool waylandPluginInstalled()
{
    const QDir platforms(QLibraryInfo::path(QLibraryInfo::PluginsPath) + "/platforms");
    return !platforms.entryList({"libqwayland*"}, QDir::Files).isEmpty();
}

bool x11Reachable()
{
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display)
        return false;
    int screen = 0;
    xcb_connection_t* connection = xcb_connect(nullptr, &screen);
    const bool reachable = xcb_connection_has_error(connection) == 0;
    xcb_disconnect(connection);
    return reachable;
}

bool waylandReachable()
{
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return wayland && *wayland && waylandPluginInstalled();
}

// Chooses the platform so that Qt never aborts for want of a display. The
// overlay needs X11 to keep its place and stay on top, so XWayland is preferred
// over native Wayland; a platform the user named is kept when it can work.
bool prepareDisplay()
{
    const char* chosen = std::getenv("QT_QPA_PLATFORM");
    if (chosen && *chosen) {
        for (const QString& entry : QString::fromLocal8Bit(chosen).split(';', Qt::SkipEmptyParts)) {
            const QString name = entry.section(':', 0, 0).trimmed();
            if ((name == "xcb" && x11Reachable()) || (name == "wayland" && waylandReachable())
                || (name != "xcb" && !name.startsWith("wayland")))
                return true; // offscreen, minimal, vnc and the like need no display
        }
    } else if (x11Reachable()) {
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        return true;
    } else if (waylandReachable()) {
        std::fprintf(stderr, "[tallyglass] no X11 display (XWayland) found: the overlay cannot keep its place or stay on top\n");
        ::setenv("QT_QPA_PLATFORM", "wayland", 1);
        return true;
    }
    std::fprintf(stderr, "[tallyglass] no display to open windows on; on a machine without a desktop run `tallyglass --headless`\n");
    return false;
}

} // namespace

int run(int argc, char** argv)
{
    if (const int refused = ProcessStart::prepareConfigFolder(""))
        return refused;
    if (!prepareDisplay())
        return 1;
    QApplication app(argc, argv);
    std::unique_ptr<QLockFile> instance;
    if (const int refused = ProcessStart::soleInstance(instance))
        return refused == ProcessStart::alreadyRunning ? ProcessStart::showRunningReport() : refused;
    QGuiApplication::setDesktopFileName("tallyglass");
    QGuiApplication::setApplicationDisplayName("Tallyglass"); // what window managers show for an untitled window
    QGuiApplication::setWindowIcon(QIcon(":/tallyglass.svg"));
    DesktopApp desktop;
    return desktop.run(app);
}

} // namespace tallyglass::DesktopStart
