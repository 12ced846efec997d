#pragma once

#include "capture/LimitPace.h"
#include "core/Instant.h"
#include "storage/MessageRow.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tallyglass {

// What the overlay knows of the current five-hour window. `partial`: messages
// exist but no reset time is known, so the window ends at the last reload;
// `full`: it ends at the known reset time; `empty`: nothing to show yet.
struct UsageState {
    enum class Kind { empty, partial, full };

    Kind kind = Kind::empty;
    Instant anchor{};
    std::optional<double> utilization; // full only: percent, may be absent
    std::vector<MessageRow> rows;
    std::optional<LimitPace::Projection> pace; // full only: where the window is heading, when its readings tell

    static UsageState partial(Instant anchor, std::vector<MessageRow> rows) { return {Kind::partial, anchor, std::nullopt, std::move(rows), std::nullopt}; }
    static UsageState full(Instant anchor, std::optional<double> utilization, std::vector<MessageRow> rows)
    {
        return {Kind::full, anchor, utilization, std::move(rows), std::nullopt};
    }

    bool operator==(const UsageState&) const = default;
};

// The history import as the overlay shows it.
struct ScanProgress {
    enum class Kind { idle, running, failed };

    Kind kind = Kind::idle;
    std::int64_t percent = 0; // running: 0...100
    std::string error;        // failed: the error's description

    static ScanProgress running(std::int64_t percent) { return {Kind::running, percent, {}}; }
    static ScanProgress failed(std::string error) { return {Kind::failed, 0, std::move(error)}; }

    bool operator==(const ScanProgress&) const = default;
};

} // namespace tallyglass
