// Bytes as an exporter's body: its chunked coding, a gzip stream and an OTLP
// logs export. Nothing may crash, a chunked body decodes only when it scans
// complete, inflating never passes its cap, and every message read is whole.

#include "core/IsoTime.h"
#include "server/ChunkedBody.h"
#include "server/Gzip.h"
#include "server/TelemetryLogs.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace tallyglass;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const bool complete = ChunkedBody::scan(input) == ChunkedBody::State::complete;
    if (complete != ChunkedBody::decode(input).has_value())
        std::abort();
    const auto inflated = Gzip::inflate(input, 1 << 20);
    if (inflated.data.size() > (1 << 20) || (inflated.status != Gzip::Status::ok && !inflated.data.empty()))
        std::abort();
    static const Instant now = *IsoTime::parse("2025-01-15T12:00:00Z");
    if (const auto batch = TelemetryLogs::read(input, now)) {
        for (const MessageInsert& m : batch->messages) {
            if (m.sessionId.empty() || m.machine.empty() || !m.fromTelemetry || m.inputTokens < 0
                || m.cacheCreation1hInputTokens > m.cacheCreationInputTokens || !IsoTime::parse(m.timestamp))
                std::abort();
        }
    }
    return 0;
}
