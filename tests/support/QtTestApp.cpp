#include "support/QtTestApp.h"

#include <QThread>

#include <memory>

namespace tallyglass::test {

QCoreApplication& qtApp()
{
    // A widget test made a QApplication first: that one serves.
    if (QCoreApplication* existing = QCoreApplication::instance())
        return *existing;
    static int argc = 1;
    static char name[] = "tallyglass-test";
    static char* argv[] = {name, nullptr};
    static std::unique_ptr<QCoreApplication> app = [] {
        auto created = std::make_unique<QCoreApplication>(argc, argv);
        QCoreApplication::setOrganizationName("tallyglass");
        QCoreApplication::setApplicationName("tallyglass");
        return created;
    }();
    return *app;
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    qtApp();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

} // namespace tallyglass::test
