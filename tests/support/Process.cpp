#include "support/Process.h"

#include "support/TempDir.h"

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace tallyglass::test {

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> environmentWith(const std::map<std::string, std::string>& environment)
{
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (!environment.contains(name))
            envStrings.push_back(entry);
    }
    for (const auto& [name, value] : environment)
        envStrings.push_back(name + "=" + value);
    return envStrings;
}

// In the child: standard input from the file, output and error to the given
// descriptors, then the program, looked up on PATH as a shell would.
[[noreturn]] void execute(const std::vector<std::string>& argv, const std::vector<std::string>& envStrings,
                          const std::filesystem::path& inPath, int out, int err)
{
    const int in = ::open(inPath.c_str(), O_RDONLY);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> env;
    for (const auto& e : envStrings)
        env.push_back(const_cast<char*>(e.c_str()));
    env.push_back(nullptr);
    ::execvpe(args[0], args.data(), env.data());
    ::_exit(127);
}

// Waits for the child until the deadline; its exit code, or -1 when it was killed.
int reap(pid_t child, Clock::time_point deadline)
{
    int status = 0;
    while (::waitpid(child, &status, WNOHANG) != child) {
        if (Clock::now() > deadline) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// `output`: the descriptor for the child's standard output, or -1 for a file read back.
ProcessResult run(const std::vector<std::string>& argv, const std::string& input, const std::map<std::string, std::string>& environment,
                  std::chrono::milliseconds timeout, int output)
{
    const auto dir = freshDirectory();
    const auto inPath = dir / "stdin";
    const auto outPath = dir / "stdout";
    const auto errPath = dir / "stderr";
    std::ofstream(inPath, std::ios::binary) << input;
    const std::vector<std::string> envStrings = environmentWith(environment);

    const auto started = Clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        execute(argv, envStrings, inPath, output >= 0 ? output : ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600),
                ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
    }
    ProcessResult result;
    result.exitCode = reap(child, started + timeout);
    result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
    result.out = fileText(outPath);
    result.err = fileText(errPath);
    return result;
}

} // namespace

ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& input,
                         const std::map<std::string, std::string>& environment, std::chrono::milliseconds timeout)
{
    return run(argv, input, environment, timeout, -1);
}

ProcessResult runWithReaderGone(const std::vector<std::string>& argv, const std::map<std::string, std::string>& environment,
                                std::chrono::milliseconds timeout)
{
    int ends[2];
    if (::pipe(ends) != 0)
        return {};
    ::close(ends[0]); // before the child exists, so that not even its first write finds a reader
    ProcessResult result = run(argv, "", environment, timeout, ends[1]);
    ::close(ends[1]);
    return result;
}

ProcessResult runProcessThroughPipes(const std::vector<std::string>& argv, const std::string& input,
                                     const std::map<std::string, std::string>& environment,
                                     std::chrono::milliseconds timeout)
{
    const auto inPath = freshDirectory() / "stdin";
    std::ofstream(inPath, std::ios::binary) << input;
    const std::vector<std::string> envStrings = environmentWith(environment);
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");

    const auto started = Clock::now();
    const pid_t child = ::fork();
    if (child == 0)
        execute(argv, envStrings, inPath, out[1], err[1]); // dup2 clears close-on-exec on the copies
    ::close(out[1]);
    ::close(err[1]);
    ProcessResult result;
    pollfd open[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* texts[2] = {&result.out, &result.err};
    while (open[0].fd >= 0 || open[1].fd >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(started + timeout - Clock::now());
        if (left.count() <= 0 || ::poll(open, 2, static_cast<int>(left.count())) <= 0)
            break;
        for (int i = 0; i < 2; ++i) {
            if (open[i].fd < 0 || !open[i].revents)
                continue;
            char buffer[65536];
            const ssize_t n = ::read(open[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                texts[i]->append(buffer, static_cast<std::size_t>(n));
            } else {
                ::close(open[i].fd);
                open[i].fd = -1; // poll skips it from now on
            }
        }
    }
    const bool closed = open[0].fd < 0 && open[1].fd < 0;
    for (const pollfd& p : open) {
        if (p.fd >= 0)
            ::close(p.fd);
    }
    result.exitCode = reap(child, started + timeout);
    if (!closed)
        result.exitCode = -1;
    result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
    return result;
}

} // namespace tallyglass::test
