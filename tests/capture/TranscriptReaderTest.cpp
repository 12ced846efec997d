#include "capture/TranscriptReader.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <fstream>
#include <unistd.h>

// Large reads go through windows of the mapped file; whatever the lines'
// shapes across the windows' edges, they must give what reading into the
// buffer gives, and a file cut back while mapped must not end the process.
namespace tallyglass {
namespace {

namespace fs = std::filesystem;

std::string response(int i, const std::string& padding = "")
{
    return R"({"type":"assistant","sessionId":"s","timestamp":"2025-01-15T10:10:00Z","message":{"id":"m)"
        + std::to_string(i) + R"(","model":"claude-sonnet-4-6","content":")" + padding
        + R"(","usage":{"input_tokens":)" + std::to_string(i) + R"(,"output_tokens":1}}})";
}

struct Read {
    std::vector<std::string> ids;
    TranscriptReader::Result result;
};

// `onBatch` runs after each batch the reader hands on.
Read readAll(const fs::path& path, std::size_t mapBytes, std::uint64_t offset = 0,
             const std::function<void()>& onBatch = {})
{
    TranscriptReader::Options options;
    options.pieceBytes = 0; // the least the reader takes: twice the longest line parsed in memory
    options.mapBytes = mapBytes;
    options.batchRecords = 1;
    options.now = [] { return instantFromUnixSeconds(1.8e9); };
    TranscriptReader reader(options);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(fd, 0);
    Read read;
    read.result = reader.read(fd, offset, fs::file_size(path), [&](std::vector<MessageInsert>& records, std::uint64_t) {
        for (const MessageInsert& m : records)
            read.ids.push_back(m.messageId);
        if (onBatch)
            onBatch();
        return true;
    });
    ::close(fd);
    return read;
}

TEST(TranscriptReaderTest, aMappedReadGivesWhatReadingIntoTheBufferGives)
{
    const fs::path path = test::freshDirectory() / "t.jsonl";
    const std::size_t window = 2u << 20; // the least the reader maps at once
    struct Case {
        const char* shape;
        std::size_t lineBytes;  // padding in each line
        std::size_t lines;
        std::string last;       // after the lines
        std::uint64_t offset;
    };
    const Case cases[] = {
        {"short lines across several windows", 900, 7000, "", 0},
        {"lines of about a third of a window", window / 3, 8, "", 0},
        {"a line longer than a window between short ones", window + window / 2, 1, response(99) + "\n", 0},
        {"a last line without its line feed", 5000, 600, response(77), 0},
        {"line feeds with carriage returns, from an offset", 3000, 1200, "\r\n", 12345},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shape);
        {
            std::ofstream out(path, std::ios::binary | std::ios::trunc);
            out << response(0) << "\n";
            for (std::size_t i = 1; i <= c.lines; ++i)
                out << response(static_cast<int>(i), std::string(c.lineBytes, 'x')) << (c.last == "\r\n" ? "\r\n" : "\n");
            if (c.last != "\r\n")
                out << c.last;
        }
        const Read buffered = readAll(path, 0, c.offset);
        const Read mapped = readAll(path, window, c.offset);
        EXPECT_GT(buffered.ids.size(), 1u);
        EXPECT_EQ(mapped.ids, buffered.ids);
        EXPECT_EQ(mapped.result.wholeLinesEnd, buffered.result.wholeLinesEnd);
        EXPECT_EQ(mapped.result.end, buffered.result.end);
        EXPECT_EQ(mapped.result.malformed, buffered.result.malformed);
        EXPECT_EQ(mapped.result.nonAssistant, buffered.result.nonAssistant);
    }
}

// Cut back in the middle of a read: the pages it lost read as nothing, the
// lines before the cut are kept, and the read ends at the file's new size.
TEST(TranscriptReaderTest, aFileCutBackWhileMappedEndsTheReadAtItsNewSize)
{
    const fs::path path = test::freshDirectory() / "t.jsonl";
    std::vector<std::uint64_t> lineEnds;
    {
        std::ofstream out(path, std::ios::binary);
        std::uint64_t at = 0;
        for (int i = 0; i < 2000; ++i) {
            const std::string line = response(i, std::string(2000, 'x')) + "\n";
            out << line;
            lineEnds.push_back(at += line.size());
        }
    }
    const std::uint64_t cut = 1u << 20;
    const Read read = readAll(path, 4u << 20, 0, [&] {
        if (fs::file_size(path) > cut)
            fs::resize_file(path, cut);
    });
    const auto wholeBeforeCut = static_cast<std::size_t>(std::upper_bound(lineEnds.begin(), lineEnds.end(), cut) - lineEnds.begin());
    EXPECT_EQ(read.ids.size(), wholeBeforeCut);
    EXPECT_EQ(read.result.wholeLinesEnd, lineEnds[wholeBeforeCut - 1]);
    EXPECT_EQ(read.result.end, cut);
}

} // namespace
} // namespace tallyglass
