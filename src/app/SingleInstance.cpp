#include "app/SingleInstance.h"

#include "core/Log.h"

#include <cerrno>
#include <csignal>

namespace tallyglass::SingleInstance {

std::unique_ptr<QLockFile> acquire(const std::filesystem::path& lockPath)
{
    std::error_code ignored;
    std::filesystem::create_directories(lockPath.parent_path(), ignored);
    auto lock = std::make_unique<QLockFile>(QString::fromStdString(lockPath.string()));
    lock->setStaleLockTime(0); // held for as long as its process lives, however long that is
    if (lock->tryLock(0))
        return lock;
    qint64 pid = 0;
    QString host;
    QString application;
    if (lock->error() == QLockFile::LockFailedError && lock->getLockInfo(&pid, &host, &application))
        Log::line("already running (process " + std::to_string(pid) + "); this one ends");
    else
        Log::line("cannot take the lock " + lockPath.string() + "; this one ends");
    return nullptr;
}

bool isHeld(const std::filesystem::path& lockPath)
{
    std::error_code ignored;
    if (!std::filesystem::exists(lockPath, ignored))
        return false;
    // Read, never taken: taking it even for an instant could turn away an app starting then.
    QLockFile lock(QString::fromStdString(lockPath.string()));
    qint64 pid = 0;
    QString host;
    QString application;
    if (!lock.getLockInfo(&pid, &host, &application) || pid <= 0)
        return false;
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

} // namespace tallyglass::SingleInstance
