#include "pricing/DisplayNameCache.h"

#include "pricing/ModelMapper.h"

namespace tallyglass {

const std::string& DisplayNameCache::operator()(std::string_view identifier)
{
    if (lastIdentifier_ && *lastIdentifier_ == identifier)
        return *lastName_;
    auto found = names_.find(identifier);
    if (found == names_.end())
        found = names_.emplace(std::string(identifier), ModelMapper::displayName(identifier)).first;
    // Node-based map: element addresses stay valid as it grows.
    lastIdentifier_ = &found->first;
    lastName_ = &found->second;
    return found->second;
}

} // namespace tallyglass
