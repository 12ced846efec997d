#pragma once

#include <string>
#include <vector>

namespace tallyglass::test {

// One log record of an OTLP JSON export: its attributes as key and AnyValue
// JSON text (`{"stringValue":"x"}`), and optionally its timeUnixNano.
struct LogRecord {
    std::vector<std::pair<std::string, std::string>> attributes;
    std::string timeUnixNano = "";
    std::string body = "claude_code.api_request";
};

// An api_request record of a session, with counts given as the exporter sends them.
LogRecord apiRequest(const std::string& session, int sequence, int input = 100, int output = 20);

// {"resourceLogs":[{"resource":{...host.name...},"scopeLogs":[{"logRecords":[...]}]}]}
std::string logsExport(const std::vector<LogRecord>& records, const std::string& host = "box");

// The bytes of `data` as one gzip member, deflated at zlib's `level` (1: the fastest).
std::string gzipped(const std::string& data, int level = 1);

} // namespace tallyglass::test
