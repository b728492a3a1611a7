#include "scan/trueup/TrueUpDirChangeParser.h"

#include <new>

#include "scan/trueup/TrueUpDirChangeItemDataImpl.h"

CKoError CTrueUpDirChangeParser::GetItemInfo(FVBasePtr& item, const std::vector<std::string>& fields) {
    try {
        item = std::make_shared<CTrueUpDirChangeItemDataImpl>(fields);
    } catch (const std::bad_alloc&) {
        return FXErrorUtil::ErrorWin32(FXCodeLocation("TrueUpDirChangeParser", __PRETTY_FUNCTION__, __LINE__),
                                       ZyWin32::ERROR_OUTOFMEMORY, "Failed to allocate the item information");
    }
    return CKoError::Success();
}
