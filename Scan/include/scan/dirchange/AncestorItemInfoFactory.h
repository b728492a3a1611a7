// Builds the item information of an ancestor folder that a writer adds on behalf of an item.
#pragma once

#include <string>

#include "core/KoError.h"
#include "scan/dirchange/FVBase.h"

class CAncestorItemInfoFactory {
public:
    CAncestorItemInfoFactory() = default;
    virtual ~CAncestorItemInfoFactory();

    // `out` gets the information of `ancestorPath`, an ancestor of `itemPath` whose own
    // information is `itemInfo`. The base has none to give: `out` is reset.
    virtual CKoError GetItemInfo(FVBasePtr& out, const std::string& itemPath, const std::string& ancestorPath,
                                 const FVBasePtr& itemInfo);

protected:
    CAncestorItemInfoFactory(const CAncestorItemInfoFactory&) = default;
    CAncestorItemInfoFactory& operator=(const CAncestorItemInfoFactory&) = default;
};
