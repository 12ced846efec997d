#include "core/Log.h"

#include "core/Printable.h"

#include <cstdio>
#include <string>

namespace tallyglass::Log {

namespace {

void write(std::FILE* stream, std::string_view text)
{
    std::string out = "[tallyglass] ";
    out.append(Printable::escaped(text));
    out.push_back('\n');
    // One fwrite per line: stdio locks the stream for the call.
    std::fwrite(out.data(), 1, out.size(), stream);
    std::fflush(stream);
}

} // namespace

void line(std::string_view text)
{
    write(stderr, text);
}

void print(std::string_view text)
{
    write(stdout, text);
}

} // namespace tallyglass::Log
