#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace tallyglass::test {

struct ProcessResult {
    int exitCode = -1; // -1 when killed or timed out
    std::string out;
    std::string err;
    std::chrono::milliseconds elapsed{0}; // until the process itself exited
};

// Runs a program to its end with the given stdin, extra environment (added to
// this process's own) and a time limit. Output goes through files, not pipes,
// so a background child that keeps a descriptor cannot make this wait.
ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& input = "",
                         const std::map<std::string, std::string>& environment = {},
                         std::chrono::milliseconds timeout = std::chrono::seconds(30));

// The same with standard output a pipe whose reader has gone before the program
// starts, as `| head` that has read all it wanted: every write to it fails
// (EPIPE). `out` stays empty.
ProcessResult runWithReaderGone(const std::vector<std::string>& argv, const std::map<std::string, std::string>& environment = {},
                                std::chrono::milliseconds timeout = std::chrono::seconds(30));

// The same with standard output and error as pipes, read until no process
// holds them open any more: the way a caller sees a program that reads its
// output to the end. exitCode is -1 when the pipes were still open at the time
// limit, for instance held by a background child.
ProcessResult runProcessThroughPipes(const std::vector<std::string>& argv, const std::string& input = "",
                                     const std::map<std::string, std::string>& environment = {},
                                     std::chrono::milliseconds timeout = std::chrono::seconds(30));

} // namespace tallyglass::test
