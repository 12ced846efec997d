#pragma once

#include <functional>

class QObject;

namespace tallyglass::StopSignals {

// Calls `onStop` on the thread of `context` (through its event loop) when the
// process receives SIGINT or SIGTERM. The signal handler itself only writes a
// byte to a pipe, which is all a handler may safely do.
void install(QObject* context, std::function<void()> onStop);

} // namespace tallyglass::StopSignals
