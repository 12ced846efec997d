#include "app/SingleInstance.h"

#include "core/Log.h"

#include <cerrno>
#include <csignal>
#include <stdexcept>

namespace tallyglass::SingleInstance {

std::unique_ptr<QLockFile> acquire(const std::filesystem::path& lockPath)
{
    std::error_code made;
    std::filesystem::create_directories(lockPath.parent_path(), made);
    if (made)
        throw std::runtime_error("cannot use " + lockPath.parent_path().string() + ": " + made.message());
    auto lock = std::make_unique<QLockFile>(QString::fromStdString(lockPath.string()));
    lock->setStaleLockTime(0); // held for as long as its process lives, however long that is
    if (lock->tryLock(0))
        return lock;
    // Something other than a file in the lock's place reads as a lock held, but no process holds it.
    std::error_code ignored;
    const bool lockIsFile = std::filesystem::is_regular_file(lockPath, ignored);
    if (lock->error() != QLockFile::LockFailedError || !lockIsFile)
        throw std::runtime_error("cannot take the lock " + lockPath.string() + ": "
                                 + (!lockIsFile                                        ? "it is not a file"
                                        : lock->error() == QLockFile::PermissionError ? "permission denied"
                                                                                      : "unknown error"));
    qint64 pid = 0;
    QString host;
    QString application;
    if (lock->getLockInfo(&pid, &host, &application))
        Log::line("already running (process " + std::to_string(pid) + "); this one ends");
    else
        Log::line("already running (the lock " + lockPath.string() + " is held); this one ends");
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
