#include "scan/collect/CheckIfAlreadyPresent.h"

CCheckIfAlreadyPresent::~CCheckIfAlreadyPresent() = default;

bool CCheckIfAlreadyPresent::IsItemInPreviousJob(const std::string& /*path*/) { return false; }

bool CCheckIfAlreadyPresent::IsWritten(const std::string& /*path*/) { return false; }

CKoError CCheckIfAlreadyPresent::SetWritten(const std::string& /*path*/) {
    return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_SUPPORTED);
}
