// One file type of the extension groupings ("Images") and its extension patterns ("*.jpg").
#pragma once

#include <string>

#include "scan/content/ContentItem.h"

class CExtensionGroupingInfo {
public:
    explicit CExtensionGroupingInfo(std::string fileType) : m_fileType(std::move(fileType)) {}

    const std::string& GetFileType() const { return m_fileType; }
    const CContentItemList& GetExtensions() const { return m_extensions; }
    void AddExtension(CContentItemPtr extension) { m_extensions.push_back(std::move(extension)); }

private:
    std::string m_fileType;
    CContentItemList m_extensions;
};
