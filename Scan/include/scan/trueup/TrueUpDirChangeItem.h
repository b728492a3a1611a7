// One entry of a TrueUp DirChange on its way into a DirChange container: path, folder mark and
// its TrueUp item data.
#pragma once

#include <memory>
#include <string>

#include "scan/trueup/TrueUpDirChangeItemData.h"

class CTrueUpDirChangeItem {
public:
    CTrueUpDirChangeItem(std::string fileName, bool folder, CTrueUpDirChangeItemDataPtr data)
        : m_fileName(std::move(fileName)), m_folder(folder), m_data(std::move(data)) {}

    // The item's full path.
    const std::string& GetFileName() const { return m_fileName; }
    bool IsFolder() const { return m_folder; }
    const CTrueUpDirChangeItemDataPtr& GetData() const { return m_data; }

private:
    std::string m_fileName;
    bool m_folder;
    CTrueUpDirChangeItemDataPtr m_data;
};

using CTrueUpDirChangeItemPtr = std::shared_ptr<CTrueUpDirChangeItem>;
