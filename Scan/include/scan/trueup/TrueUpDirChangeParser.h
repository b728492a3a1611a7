// Reads the field list of a TrueUp DirChange line into CTrueUpDirChangeItemDataImpl.
#pragma once

#include <string>
#include <vector>

#include "scan/dirchange/DirChangeParser.h"

class CTrueUpDirChangeParser : public CDirChangeParser {
public:
    // Code 14 when the item cannot be allocated; `item` is then left as it was.
    CKoError GetItemInfo(FVBasePtr& item, const std::vector<std::string>& fields) override;
};
