#pragma once

#include <QLockFile>

#include <memory>
#include <string>

namespace tallyglass::ProcessStart {

// What every start shares, whether the command runs in the program itself or
// in the desktop module it loads.

// The exit status when another Tallyglass runs: the service is not started again for it.
constexpr int alreadyRunning = 3;

// Whether the command runs something that keeps its files in the
// configuration folder: every command and both long-running processes, not
// --version, the help or a mistake in the command's name.
bool usesConfigFolder(const std::string& command);

// A folder that cannot be used fails now, in one sentence, rather than later
// as a database that cannot be opened, an empty list or "already running";
// then the user's prices are put in use. 0, or the exit status after the sentence.
int prepareConfigFolder(const std::string& command);

// The long-running processes: one per user, with the settings' names set. 0
// with the lock held; else the exit status, said: another one runs (3), or the
// lock could not be taken at all (1), which is no sign of another process.
int soleInstance(std::unique_ptr<QLockFile>& lock);

// Started again while the desktop application runs: the user wants to see it,
// so its Full Report comes forward and this start has done its work. A
// headless process, or one too old to listen, cannot show anything: then
// this start ends as "already running".
int showRunningReport();

} // namespace tallyglass::ProcessStart
