#pragma once

#include <QCoreApplication>

#include <chrono>
#include <functional>

namespace tallyglass::test {

// The process's one QCoreApplication (created on first use), whose main
// thread receives queued calls such as the server's port-change callback.
QCoreApplication& qtApp();

// Runs the main thread's event loop until `done` is true or the time is up.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(10));

} // namespace tallyglass::test
