#include "support/TelemetryExport.h"

#include <zlib.h>

#include <stdexcept>

namespace tallyglass::test {

namespace {

std::string text(const std::string& value)
{
    return R"({"stringValue":")" + value + R"("})";
}

} // namespace

LogRecord apiRequest(const std::string& session, int sequence, int input, int output)
{
    return {{{"event.name", text("api_request")},
             {"session.id", text(session)},
             {"event.sequence", R"({"intValue":")" + std::to_string(sequence) + R"("})"},
             {"event.timestamp", text("2025-01-15T10:00:00.000Z")},
             {"model", text("claude-sonnet-4-5")},
             {"input_tokens", R"({"intValue":")" + std::to_string(input) + R"("})"},
             {"output_tokens", R"({"intValue":)" + std::to_string(output) + "}"},
             {"cache_read_tokens", text("0")},
             {"cache_creation_tokens", R"({"doubleValue":0})"},
             {"user.email", text("someone@example.com")},
             {"prompt", text("secret")}}};
}

std::string logsExport(const std::vector<LogRecord>& records, const std::string& host)
{
    std::string out = R"({"resourceLogs":[{"resource":{"attributes":[{"key":"host.name","value":{"stringValue":")" + host
        + R"("}}]},"scopeLogs":[{"scope":{"name":"com.anthropic.claude_code.events"},"logRecords":[)";
    for (std::size_t i = 0; i < records.size(); ++i) {
        out += i ? ",{" : "{";
        if (!records[i].timeUnixNano.empty())
            out += R"("timeUnixNano":")" + records[i].timeUnixNano + R"(",)";
        out += R"("body":{"stringValue":")" + records[i].body + R"("},"attributes":[)";
        for (std::size_t a = 0; a < records[i].attributes.size(); ++a) {
            out += a ? "," : "";
            out += R"({"key":")" + records[i].attributes[a].first + R"(","value":)" + records[i].attributes[a].second + "}";
        }
        out += "]}";
    }
    return out + "]}]}]}";
}

std::string gzipped(const std::string& data, int level)
{
    z_stream stream{};
    if (deflateInit2(&stream, level, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2");
    std::string out(deflateBound(&stream, static_cast<uLong>(data.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

} // namespace tallyglass::test
