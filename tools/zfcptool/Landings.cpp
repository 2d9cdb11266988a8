#include "Landings.h"

#include "LoomworkKit/ZFCPackageReader.h"

#include "Errors.h"

Landings::Place Landings::add(const std::optional<ZFCPluginType>& type, const std::string& name)
{
    Place place{std::string(type ? type->directoryName() : kOtherCategoryDirectory), ZFCPackageReader::safeName(name)};
    const std::string landing = place.category + '/' + place.folder;
    if (!m_seen.insert(landing).second)
        throw Failure(m_refusal + landing);
    return place;
}
