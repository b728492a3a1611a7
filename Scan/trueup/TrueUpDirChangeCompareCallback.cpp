#include "scan/trueup/TrueUpDirChangeCompareCallback.h"

#include "TrueUpDifferenceRules.h"
#include "scan/trueup/TrueUpDirChangeItemData.h"

namespace {

const CTrueUpDirChangeItemData* Data(const FVBasePtr& item) {
    return dynamic_cast<const CTrueUpDirChangeItemData*>(item.get());
}

CKoError Passed(CKoError e, const FXCodeLocation& here, const std::string& path) {
    if (e.IsError()) return e.Push(here, "File=[%s]", path.c_str());
    return e;
}

}  // namespace

CTrueUpDirChangeCompareCallback::CTrueUpDirChangeCompareCallback(CTrueUpDifferenceCallbackPtr differenceCallback,
                                                                 CAbortOperationCheckPtr abortCheck,
                                                                 CTrueUpCompareOptionsPtr options)
    : m_rules(std::make_unique<CTrueUpDifferenceRules>(std::move(differenceCallback), std::move(abortCheck),
                                                       std::move(options))) {}

CTrueUpDirChangeCompareCallback::~CTrueUpDirChangeCompareCallback() = default;

bool CTrueUpDirChangeCompareCallback::IsAborted() { return m_rules->IsAborted(); }

// A folder line of one record above folders of the other is a path step, not an item that is
// gone: a record that starts with a line for "/" (as flat DirChange files may), or one that
// writes ancestors the other leaves out, must not delete them from the backups.
static bool HoldsCurrentFolders(const CTrueUpDirChangeCompareCallback::CacheNodePtr& node) {
    if (!node) return false;
    CPathCacheFlatFileIndex::NodeIterator it(std::string(), node, '/', false);
    for (; !it.IsEnd(); ++it) {
        const auto& child = it.GetNode();
        const CPathCacheScanData* record = child->IsContentPresent() ? child->GetData().get() : nullptr;
        if (record && record->GetFlags().IsSet(BDirChangeItemFlags::CURRENTDIRCHANGE)) return true;
    }
    return false;
}

CKoError CTrueUpDirChangeCompareCallback::OnInIndex1(const std::string& folder, const CacheNodePtr& node) {
    if (folder == "/" || HoldsCurrentFolders(node)) return CKoError::Success();
    return Passed(m_rules->OnlyInTrueUp(folder, true), ZY_HERE, folder);
}

CKoError CTrueUpDirChangeCompareCallback::OnInIndex1(const std::string& path, const std::string&, const std::string&,
                                                     const FVBasePtr&) {
    return Passed(m_rules->OnlyInTrueUp(path, false), ZY_HERE, path);
}

CKoError CTrueUpDirChangeCompareCallback::OnInIndex2(const std::string& folder, const CacheNodePtr& node) {
    if (folder == "/") return CKoError::Success();
    const CPathCacheScanData* record = node && node->IsContentPresent() ? node->GetData().get() : nullptr;
    const CTrueUpDirChangeItemData* data = record ? Data(record->GetCurrentInfo()) : nullptr;
    return Passed(m_rules->OnlyInComparison(folder, true, data), ZY_HERE, folder);
}

CKoError CTrueUpDirChangeCompareCallback::OnInIndex2(const std::string& path, const std::string&, const std::string&,
                                                     const FVBasePtr& item) {
    return Passed(m_rules->OnlyInComparison(path, false, Data(item)), ZY_HERE, path);
}

CKoError CTrueUpDirChangeCompareCallback::OnInBothIndexes(const std::string&, const CacheNodePtr&,
                                                          const CacheNodePtr&) {
    return CKoError::Success();
}

CKoError CTrueUpDirChangeCompareCallback::OnInBothIndexes(const std::string& path, const std::string&,
                                                          const std::string&, const FVBasePtr& item1,
                                                          const FVBasePtr& item2) {
    return Passed(m_rules->InBoth(path, Data(item1), Data(item2)), ZY_HERE, path);
}
