#include "support/OutputCapture.h"

#include "support/QtTestApp.h"
#include "support/TempDir.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace tallyglass::test {

OutputCapture::OutputCapture(Stream stream)
    : fd_(stream == Stream::output ? STDOUT_FILENO : STDERR_FILENO)
    , file_(freshDirectory() / "output.txt")
{
    std::fflush(nullptr);
    saved_ = ::dup(fd_);
    const int fd = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ::dup2(fd, fd_);
    ::close(fd);
}

OutputCapture::~OutputCapture()
{
    std::fflush(nullptr);
    ::dup2(saved_, fd_);
    ::close(saved_);
}

std::string OutputCapture::text() const
{
    return fileText(file_);
}

bool OutputCapture::waitFor(const std::string& wanted) const
{
    return waitUntil([&] { return text().find(wanted) != std::string::npos; });
}

} // namespace tallyglass::test
