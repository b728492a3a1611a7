// The extension groupings of a backup set: file-type name to its patterns.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "scan/content/ExtensionGroupingInfo.h"

class CExtensionGroupings {
public:
    using Map = std::map<std::string, std::shared_ptr<CExtensionGroupingInfo>>;

    // The grouping of a file type, made when it is not there yet.
    std::shared_ptr<CExtensionGroupingInfo> FindOrAdd(const std::string& fileType) {
        std::shared_ptr<CExtensionGroupingInfo>& info = m_groupings[fileType];
        if (!info) info = std::make_shared<CExtensionGroupingInfo>(fileType);
        return info;
    }
    // Null when the file type is not there.
    std::shared_ptr<CExtensionGroupingInfo> Find(const std::string& fileType) const {
        auto it = m_groupings.find(fileType);
        return it == m_groupings.end() ? nullptr : it->second;
    }
    const Map& GetAll() const { return m_groupings; }

private:
    Map m_groupings;
};
