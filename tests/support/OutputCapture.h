#pragma once

#include <filesystem>
#include <string>

namespace tallyglass::test {

// Sends standard output (or error) to a file of the test's own while it
// lives, readable at any moment: a test can wait for a line another thread
// prints, which a capture read only once at its end cannot give.
class OutputCapture {
public:
    enum class Stream { output, error };

    explicit OutputCapture(Stream stream = Stream::output);
    ~OutputCapture();
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;

    // Everything printed so far.
    std::string text() const;
    // Waits (running the main thread's event loop) until the output holds `wanted`.
    bool waitFor(const std::string& wanted) const;

private:
    const int fd_;
    std::filesystem::path file_;
    int saved_ = -1;
};

} // namespace tallyglass::test
