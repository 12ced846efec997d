#pragma once

namespace tallyglass {

// US dollars per million tokens.
struct ModelPricing {
    double inputPerMTok = 0;
    double outputPerMTok = 0;
    double cacheWrite5mPerMTok = 0;
    double cacheWrite1hPerMTok = 0;
    double cacheReadPerMTok = 0;

    bool operator==(const ModelPricing&) const = default;
};

} // namespace tallyglass
