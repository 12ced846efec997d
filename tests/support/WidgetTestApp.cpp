#include "support/WidgetTestApp.h"

#include <memory>

namespace tallyglass::test {

QApplication& widgetApp()
{
    static int argc = 1;
    static char name[] = "tallyglass-test";
    static char* argv[] = {name, nullptr};
    static std::unique_ptr<QApplication> app = [] {
        auto created = std::make_unique<QApplication>(argc, argv);
        QCoreApplication::setOrganizationName("tallyglass");
        QCoreApplication::setApplicationName("tallyglass");
        return created;
    }();
    return *app;
}

} // namespace tallyglass::test
