#pragma once

#include "overlay/ChartViewModel.h"
#include "support/QtTestApp.h"

#include <gtest/gtest.h>

namespace tallyglass::test {

// Asks the overlay's model for a reload and waits until its outcome is
// published (the read runs on the model's worker).
inline ::testing::AssertionResult reloadAndWait(ChartViewModel& vm)
{
    int published = 0;
    const QMetaObject::Connection counting = QObject::connect(&vm, &ChartViewModel::reloaded, [&published] { ++published; });
    vm.reload();
    const bool done = waitUntil([&published] { return published > 0; });
    QObject::disconnect(counting);
    if (!done)
        return ::testing::AssertionFailure() << "the reload was never published";
    return ::testing::AssertionSuccess();
}

} // namespace tallyglass::test
