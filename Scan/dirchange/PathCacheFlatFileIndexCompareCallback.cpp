#include "scan/dirchange/PathCacheFlatFileIndexCompareCallback.h"

namespace {

CKoError NotSupported(const FXCodeLocation& here) { return FXErrorUtil::ErrorWin32(here, ZyWin32::ERROR_NOT_SUPPORTED); }

}  // namespace

CKoError CPathCacheFlatFileIndexCompareCallback::OnInIndex1(const std::string&, const CacheNodePtr&) {
    return NotSupported(ZY_HERE);
}
CKoError CPathCacheFlatFileIndexCompareCallback::OnInIndex1RecurseIntoDeletedFolder(const std::string&,
                                                                                    const CacheNodePtr&, bool&) {
    return NotSupported(ZY_HERE);
}
CKoError CPathCacheFlatFileIndexCompareCallback::OnInIndex1(const std::string&, const std::string&, const std::string&,
                                                            const FVBasePtr&) {
    return NotSupported(ZY_HERE);
}
CKoError CPathCacheFlatFileIndexCompareCallback::OnInIndex2(const std::string&, const CacheNodePtr&) {
    return NotSupported(ZY_HERE);
}
CKoError CPathCacheFlatFileIndexCompareCallback::OnInIndex2(const std::string&, const std::string&, const std::string&,
                                                            const FVBasePtr&) {
    return NotSupported(ZY_HERE);
}
CKoError CPathCacheFlatFileIndexCompareCallback::OnInBothIndexes(const std::string&, const CacheNodePtr&,
                                                                 const CacheNodePtr&) {
    return NotSupported(ZY_HERE);
}
CKoError CPathCacheFlatFileIndexCompareCallback::OnInBothIndexes(const std::string&, const std::string&,
                                                                 const std::string&, const FVBasePtr&,
                                                                 const FVBasePtr&) {
    return NotSupported(ZY_HERE);
}
