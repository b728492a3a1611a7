#include "scan/dirchange/DirChangeParser.h"

#include <new>

#include "scan/dirchange/DirChangeItemData.h"

CKoError CFlatFileIndexParser::GetItemInfo(FVBasePtr& /*item*/, const std::vector<std::string>& /*fields*/) {
    return CKoError::Success();
}

CKoError CDirChangeItemBaseParser::GetItemInfo(FVBasePtr& item, const std::vector<std::string>& fields) {
    try {
        item = std::make_shared<CDirChangeItemBaseInfoImpl>(fields);
    } catch (const std::bad_alloc&) {
        return FXErrorUtil::ErrorWin32(FXCodeLocation("DirChangeItemBaseParser", __PRETTY_FUNCTION__, __LINE__),
                                       ZyWin32::ERROR_OUTOFMEMORY, "Failed to allocate the item information");
    }
    return CKoError::Success();
}

CKoError CDirChangeParser::GetItemInfo(FVBasePtr& item, const std::vector<std::string>& fields) {
    try {
        item = std::make_shared<CDirChangeItemDataImpl>(fields);
    } catch (const std::bad_alloc&) {
        return FXErrorUtil::ErrorWin32(FXCodeLocation("DirChangeParser", __PRETTY_FUNCTION__, __LINE__),
                                       ZyWin32::ERROR_OUTOFMEMORY, "Failed to allocate the item information");
    }
    return CKoError::Success();
}
