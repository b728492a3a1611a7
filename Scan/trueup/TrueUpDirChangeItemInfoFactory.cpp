#include "scan/trueup/TrueUpDirChangeItemInfoFactory.h"

#include <new>

#include "scan/trueup/TrueUpDirChangeItemDataImpl.h"

CKoError CTrueUpDirChangeItemInfoFactory::GetItemInfo(FVBasePtr& out, const std::string& itemPath,
                                                      const std::string& ancestorPath, const FVBasePtr& itemInfo) {
    const auto* data = dynamic_cast<const CTrueUpDirChangeItemData*>(itemInfo.get());
    if (!data)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER,
                                       "Failed to obtain valid ItemInfo data, AncestorPath=[%s], OriginalPath=[%s]",
                                       ancestorPath.c_str(), itemPath.c_str());
    try {
        out = std::make_shared<CTrueUpDirChangeItemDataImpl>(data->GetLastWriteTime(), data->GetChangeTime(),
                                                             data->GetSize(), data->GetIsAddedToCollect(),
                                                             data->GetIsSubclientFile());
    } catch (const std::bad_alloc&) {
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "Failed to allocate the item information");
    }
    return CKoError::Success();
}
