#pragma once

#include <QApplication>

namespace tallyglass::test {

// The process's QApplication for widget tests (offscreen unless the test is
// run under a display), created on first use; call it before anything else
// makes a QCoreApplication.
QApplication& widgetApp();

} // namespace tallyglass::test
