#include "pricing/PriceList.h"

#include "pricing/ModelMapper.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace tallyglass {

namespace {

bool isDate(std::string_view text)
{
    return text.size() == 8 && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// FNV-1a over the entries' keys and the bits of their prices, in key order.
std::uint64_t digest(const std::vector<PriceList::Entry>& own)
{
    std::vector<const PriceList::Entry*> sorted;
    for (const PriceList::Entry& entry : own)
        sorted.push_back(&entry);
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto* a, const auto* b) { return a->key < b->key; });
    std::uint64_t hash = 14695981039346656037ull;
    const auto add = [&hash](const void* bytes, std::size_t size) {
        const auto* p = static_cast<const unsigned char*>(bytes);
        for (std::size_t i = 0; i < size; ++i) {
            hash ^= p[i];
            hash *= 1099511628211ull;
        }
    };
    const auto addPricing = [&add](const ModelPricing& p) {
        for (const double value : {p.inputPerMTok, p.outputPerMTok, p.cacheWrite5mPerMTok, p.cacheWrite1hPerMTok,
                                   p.cacheReadPerMTok}) {
            const auto bits = std::bit_cast<std::uint64_t>(value);
            add(&bits, sizeof bits);
        }
    };
    for (const PriceList::Entry* entry : sorted) {
        add(entry->key.data(), entry->key.size());
        add("\0", 1);
        addPricing(entry->standard);
        const char hasLong = entry->longContext ? 1 : 0;
        add(&hasLong, 1);
        if (entry->longContext)
            addPricing(*entry->longContext);
    }
    return hash;
}

} // namespace

PriceList::PriceList(std::vector<Entry> own)
    : own_(std::move(own))
{
    for (std::size_t i = 0; i < own_.size(); ++i) {
        exact_.try_emplace(own_[i].key, i);
        byKey_.try_emplace(normalised(own_[i].key), i);
    }
    if (!own_.empty()) {
        // The low byte keeps the built-in version, so a new build's catalogue
        // is a new version too; the rest comes from the entries, never 0, so
        // it cannot be mistaken for the built-in catalogue alone.
        const std::uint64_t high = std::max<std::uint64_t>(digest(own_) >> 9, 1);
        version_ = static_cast<std::int64_t>((high << 8) | static_cast<std::uint64_t>(ModelPricingCatalog::version & 0xFF));
    }
}

PriceList PriceList::standingIn()
{
    PriceList list;
    list.repricesStored_ = false;
    return list;
}

std::string PriceList::normalised(std::string_view identifier)
{
    if (auto key = ModelMapper::catalogueKey(identifier))
        return std::move(*key);
    if (identifier.size() > 9 && identifier[identifier.size() - 9] == '-' && isDate(identifier.substr(identifier.size() - 8)))
        identifier.remove_suffix(9);
    return std::string(identifier);
}

std::optional<PriceList::Found> PriceList::find(std::string_view identifier) const
{
    if (!own_.empty()) {
        std::optional<std::size_t> index;
        if (const auto exact = exact_.find(identifier); exact != exact_.end())
            index = exact->second;
        else if (const auto keyed = byKey_.find(normalised(identifier)); keyed != byKey_.end())
            index = keyed->second;
        if (index) {
            const Entry& entry = own_[*index];
            return Found{&entry.standard, entry.longContext ? &*entry.longContext : nullptr, &entry};
        }
    }
    if (const ModelPricingCatalog::Row* row = ModelPricingCatalog::row(identifier))
        return Found{&row->standard, row->longContext ? &*row->longContext : nullptr, nullptr};
    return std::nullopt;
}

bool PriceList::isPriced(std::optional<std::string_view> model) const
{
    return model && !model->empty() && find(*model).has_value();
}

double PriceList::cost(std::optional<std::string_view> model, std::int64_t inputTokens, std::int64_t outputTokens,
                       std::int64_t cacheCreationInputTokens, std::int64_t cacheReadInputTokens,
                       std::int64_t cacheCreation1hInputTokens) const
{
    if (!model || model->empty())
        return 0;
    const auto found = find(*model);
    if (!found)
        return 0;
    return ModelPricingCatalog::costAt(*found->standard, found->longContext, inputTokens, outputTokens,
                                       cacheCreationInputTokens, cacheReadInputTokens, cacheCreation1hInputTokens);
}

const PriceList::Entry* PriceList::replacing(const ModelPricingCatalog::Row& row) const
{
    const auto at = byKey_.find(row.identifier);
    return at == byKey_.end() ? nullptr : &own_[at->second];
}

} // namespace tallyglass
