// The item data of ancestor folders that a TrueUp DirChange writer adds on behalf of an item:
// the item's times, size, added-to-collect and subclient-file marks, nothing else.
#pragma once

#include <string>

#include "scan/collect/AncestorItemInfoFactory.h"

class CTrueUpDirChangeItemInfoFactory : public CAncestorItemInfoFactory {
public:
    // Win32 87 when `itemInfo` is not TrueUp item data, 14 when the data cannot be allocated.
    CKoError GetItemInfo(FVBasePtr& out, const std::string& itemPath, const std::string& ancestorPath,
                         const FVBasePtr& itemInfo) override;
};
