#include "support/WidgetTestApp.h"

namespace tallyglass::test {

QApplication& widgetApp()
{
    static int argc = 1;
    static char name[] = "tallyglass-test";
    static char* argv[] = {name, nullptr};
    // Never destroyed: at exit Qt's own globals may already be gone, and the
    // application's destructor would reach into them.
    static QApplication* app = [] {
        auto* created = new QApplication(argc, argv);
        QCoreApplication::setOrganizationName("tallyglass");
        QCoreApplication::setApplicationName("tallyglass");
        return created;
    }();
    return *app;
}

} // namespace tallyglass::test
