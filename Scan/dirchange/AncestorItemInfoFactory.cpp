#include "scan/dirchange/AncestorItemInfoFactory.h"

CAncestorItemInfoFactory::~CAncestorItemInfoFactory() = default;

CKoError CAncestorItemInfoFactory::GetItemInfo(FVBasePtr& out, const std::string& /*itemPath*/,
                                               const std::string& /*ancestorPath*/, const FVBasePtr& /*itemInfo*/) {
    out.reset();
    return CKoError::Success();
}
