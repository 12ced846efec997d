#include "support/Process.h"

#include "support/TempDir.h"

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace tallyglass::test {

namespace {

std::string slurp(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
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

    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (!environment.contains(name))
            envStrings.push_back(entry);
    }
    for (const auto& [name, value] : environment)
        envStrings.push_back(name + "=" + value);

    const auto started = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        const int in = ::open(inPath.c_str(), O_RDONLY);
        const int out = output >= 0 ? output : ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
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
        ::execvpe(args[0], args.data(), env.data()); // looked up on PATH, as a shell would
        ::_exit(127);
    }
    ProcessResult result;
    int status = 0;
    while (true) {
        const pid_t done = ::waitpid(child, &status, WNOHANG);
        if (done == child)
            break;
        if (std::chrono::steady_clock::now() - started > timeout) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = slurp(outPath);
    result.err = slurp(errPath);
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

} // namespace tallyglass::test
