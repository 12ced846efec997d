#include "TranscriptGenerator.h"

#include "core/IsoTime.h"

#include <array>

namespace tallyglass::bench {

namespace {

constexpr std::array<const char*, 5> models = {"claude-sonnet-4-5-20250929", "claude-opus-4-6", "claude-haiku-4-5-20251001",
                                               "claude-sonnet-4-6", "claude-opus-4-1-20250805"};

constexpr std::string_view words[] = {"the", "parser", "reads", "each", "line", "and", "stores", "messages", "with",
                                      "their", "token", "counts", "so", "that", "charts", "stay", "current", "while",
                                      "claude", "works", "on", "refactoring", "tests", "in", "src/capture"};

} // namespace

TranscriptGenerator::TranscriptGenerator(std::uint64_t seed)
    : random_(seed)
{
}

std::string TranscriptGenerator::randomId(std::string_view prefix, std::size_t length)
{
    static constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::string id(prefix);
    for (std::size_t i = 0; i < length; ++i)
        id.push_back(alphabet[random_() % alphabet.size()]);
    return id;
}

std::string TranscriptGenerator::uuid()
{
    static constexpr std::string_view hex = "0123456789abcdef";
    std::string id;
    for (int i = 0; i < 36; ++i)
        id.push_back((i == 8 || i == 13 || i == 18 || i == 23) ? '-' : hex[random_() % 16]);
    return id;
}

std::string TranscriptGenerator::timestamp()
{
    clockMillis_ += static_cast<std::int64_t>(random_() % 20'000);
    return IsoTime::formatMillis(instantFromUnixMillis(clockMillis_));
}

void TranscriptGenerator::appendUserPrompt(std::string& out)
{
    out += R"({"parentUuid":")" + uuid() + R"(","isSidechain":false,"userType":"external","cwd":"/home/dev/project","sessionId":")"
        + sessionId_ + R"(","version":"2.0.14","gitBranch":"main","type":"user","message":{"role":"user","content":"please make the import faster and keep the tests green"},"uuid":")"
        + uuid() + R"(","timestamp":")" + timestamp() + "\"}\n";
}

void TranscriptGenerator::appendUserToolResult(std::string& out)
{
    // 1-60 KB of tool output: file contents with quotes, escapes and unicode.
    const std::size_t size = 1024 + random_() % (59 * 1024);
    std::string content;
    content.reserve(size + 64);
    while (content.size() < size) {
        content += words[random_() % std::size(words)];
        switch (random_() % 12) {
        case 0: content += "\\n    "; break;
        case 1: content += "\\\"quoted\\\" "; break;
        case 2: content += " \u2014 "; break;
        case 3: content += "\\t"; break;
        default: content += ' '; break;
        }
    }
    out += R"({"parentUuid":")" + uuid() + R"(","isSidechain":false,"userType":"external","cwd":"/home/dev/project","sessionId":")"
        + sessionId_ + R"(","version":"2.0.14","type":"user","message":{"role":"user","content":[{"tool_use_id":"toolu_)"
        + randomId("", 24) + R"(","type":"tool_result","content":")" + content + R"("}]},"uuid":")" + uuid()
        + R"(","timestamp":")" + timestamp() + R"(","toolUseResult":{"type":"text","file":{"filePath":"/home/dev/project/src/a.cpp","numLines":120}}})" + "\n";
}

void TranscriptGenerator::appendAssistantResponse(std::string& out)
{
    const std::string messageId = randomId("msg_01", 24);
    const char* model = models[random_() % models.size()];
    const int blocks = 1 + static_cast<int>(random_() % 3);
    const std::int64_t input = static_cast<std::int64_t>(random_() % 50);
    const std::int64_t cacheWrite = static_cast<std::int64_t>(random_() % 20'000);
    const std::int64_t cacheRead = static_cast<std::int64_t>(random_() % 150'000);
    const std::int64_t output = static_cast<std::int64_t>(random_() % 4'000);
    const std::string ts = timestamp();
    ++distinctMessages_;
    for (int block = 0; block < blocks; ++block) {
        std::string content;
        if (block == 0)
            content = R"({"type":"text","text":"I'll look at the parser first and then run the tests \u2014 one moment."})";
        else
            content = R"({"type":"tool_use","id":"toolu_)" + randomId("", 24)
                + R"(","name":"Bash","input":{"command":"ctest --test-dir build -j2 --output-on-failure","description":"Run the tests"}})";
        out += R"({"parentUuid":")" + uuid() + R"(","isSidechain":false,"userType":"external","cwd":"/home/dev/project","sessionId":")"
            + sessionId_ + R"(","version":"2.0.14","gitBranch":"main","message":{"id":")" + messageId
            + R"(","type":"message","role":"assistant","model":")" + model + R"(","content":[)" + content
            + R"(],"stop_reason":null,"stop_sequence":null,"usage":{"input_tokens":)" + std::to_string(input)
            + R"(,"cache_creation_input_tokens":)" + std::to_string(cacheWrite) + R"(,"cache_read_input_tokens":)"
            + std::to_string(cacheRead) + R"(,"cache_creation":{"ephemeral_5m_input_tokens":)" + std::to_string(cacheWrite / 4)
            + R"(,"ephemeral_1h_input_tokens":)" + std::to_string(cacheWrite - cacheWrite / 4) + R"(},"output_tokens":)"
            + std::to_string(block + 1 == blocks ? output : output / 8) + R"(,"service_tier":"standard"}},"requestId":"req_)"
            + randomId("", 24) + R"(","type":"assistant","uuid":")" + uuid() + R"(","timestamp":")" + ts + "\"}\n";
        ++assistantLines_;
    }
}

void TranscriptGenerator::appendSession(std::string& out, std::size_t bytes)
{
    sessionId_ = uuid();
    const std::size_t target = out.size() + bytes;
    out += R"({"type":"summary","summary":"Speed up the transcript import","leafUuid":")" + uuid() + "\"}\n";
    while (out.size() < target) {
        appendUserPrompt(out);
        const int steps = 1 + static_cast<int>(random_() % 6);
        for (int step = 0; step < steps && out.size() < target; ++step) {
            appendAssistantResponse(out);
            if (random_() % 3 != 0)
                appendUserToolResult(out);
        }
        if (random_() % 10 == 0)
            out += R"({"type":"system","subtype":"compact_boundary","content":"Conversation compacted","sessionId":")" + sessionId_
                + R"(","timestamp":")" + timestamp() + "\"}\n";
        if (random_() % 40 == 0)
            out += R"({"type":"assistant","message":{"id":"msg_cut","usage":{"input_tok)" "\n"; // cut short mid-write
    }
}

} // namespace tallyglass::bench
