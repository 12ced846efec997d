// The desktop module's one entry. The windows and everything they link
// (QtWidgets, QtGui, QtSvg, QtDBus, X11) live here rather than in the program,
// so that a command in the terminal or the headless service starts without
// loading them: their relocations alone cost more than a report's query.

#include "app/DesktopStart.h"

extern "C" __attribute__((visibility("default"))) int tallyglass_desktop_main(int argc, char** argv)
{
    return tallyglass::DesktopStart::run(argc, argv);
}
