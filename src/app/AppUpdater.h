#pragma once

namespace tallyglass {

// There is no update framework on this platform: updates come from the
// package manager. The updater says so once and offers nothing.
class AppUpdater {
public:
    static AppUpdater& shared();
    bool isAvailable() const { return false; }

private:
    AppUpdater();
};

} // namespace tallyglass
