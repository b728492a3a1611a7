#include "TrueUpDifferenceRules.h"

#include <new>

#include "core/LogWriter.h"
#include "core/StringUtil.h"
#include "scan/trueup/TrueUpDirChangeItemDataImpl.h"

namespace {

const CTrueUpDirChangeItemData& OrClear(const CTrueUpDirChangeItemData* data) {
    static const CTrueUpDirChangeItemDataImpl kClear;
    return data ? *data : kClear;
}

}  // namespace

CTrueUpDifferenceRules::CTrueUpDifferenceRules(CTrueUpDifferenceCallbackPtr callback,
                                               CAbortOperationCheckPtr abortCheck, CTrueUpCompareOptionsPtr options)
    : m_callback(std::move(callback)), m_abortCheck(std::move(abortCheck)), m_options(std::move(options)) {
    if (!m_options) m_options = std::make_shared<CTrueUpCompareOptions>();
    if (!m_callback) m_callback = std::make_shared<CTrueUpDifferenceCallback>();
}

bool CTrueUpDifferenceRules::IsAborted() const { return m_abortCheck && m_abortCheck->IsAborted(); }

bool CTrueUpDifferenceRules::IsLeftOut(const std::string& path) {
    return FXString::MatchLeftNoCase(path, "\\[System State") || FXString::MatchLeftNoCase(path, "[System State");
}

bool CTrueUpDifferenceRules::IsPst(const std::string& path) { return FXString::MatchRightNoCase(path, ".pst"); }

CKoError CTrueUpDifferenceRules::Report(
    CKoError (CTrueUpDifferenceCallback::*operation)(const CTrueUpDifferenceItemPtr&), const std::string& path,
    std::string reason, bool deleted, uint64_t size, bool folder, int collectField, bool aclOnly, uint32_t changes) {
    CTrueUpDifferenceItemPtr item;
    try {
        if (!m_options->IsAddDecisionPointInformation()) reason.clear();
        item = std::make_shared<CTrueUpDifferenceItem>(path, std::move(reason), deleted, size, folder, collectField,
                                                       aclOnly);
        item->SetChanges(changes);
    } catch (const std::bad_alloc&) {
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "Failed to allocate the difference, Path=[%s]",
                                       path.c_str());
    }
    return ((*m_callback).*operation)(item);
}

CKoError CTrueUpDifferenceRules::OnlyInTrueUp(const std::string& path, bool folder) {
    if (IsLeftOut(path)) return CKoError::Success();
    return Report(&CTrueUpDifferenceCallback::OnDeletedItem, path, "TrueUp(Delete)", true, 0, folder, 0, false);
}

CKoError CTrueUpDifferenceRules::OnlyInComparison(const std::string& path, bool folder,
                                                  const CTrueUpDirChangeItemData* current) {
    if (IsLeftOut(path)) return CKoError::Success();
    const CTrueUpDirChangeItemData& now = OrClear(current);
    if (now.GetIsSubclientFile() || now.GetIsAddedToCollect()) return CKoError::Success();
    return Report(&CTrueUpDifferenceCallback::OnNewItem, path, "TrueUp(New)", false, folder ? 0 : now.GetSize(), folder,
                  now.GetCollectField(), false);
}

CKoError CTrueUpDifferenceRules::InBoth(const std::string& path, const CTrueUpDirChangeItemData* previous,
                                        const CTrueUpDirChangeItemData* current) {
    if (IsLeftOut(path) || IsPst(path)) return CKoError::Success();
    if (!current) {
        // Nothing says the file is unchanged: back it up again.
        ZYLOG(1, "No current item data, File=[%s]", path.c_str());
        return Report(&CTrueUpDifferenceCallback::OnModifiedItem, path, "TrueUp(NoCurrentData)", false, 0, false, -1,
                      false);
    }
    const CTrueUpDirChangeItemData& before = OrClear(previous);
    const CTrueUpDirChangeItemData& now = *current;
    if (now.GetIsAddedToCollect()) return CKoError::Success();

    const long long previousModified = before.GetLastWriteTime().AsUnixTime();
    const long long currentModified = now.GetLastWriteTime().AsUnixTime();
    const long long previousChanged = before.GetChangeTime().AsUnixTime();
    const long long currentChanged = now.GetChangeTime().AsUnixTime();
    const unsigned long long previousSize = before.GetSize();
    const unsigned long long currentSize = now.GetSize();
    ZYLOG(3,
          "File=[%s], PreviousModifiedTime=[%lld], CurrentModifiedTime=[%lld], PreviousChangeTime=[%lld], "
          "CurrentChangeTime=[%lld], PreviousSize=[%llu], CurrentSize=[%llu], CurrentStub[%s], PreviousStub[%s]",
          path.c_str(), previousModified, currentModified, previousChanged, currentChanged, previousSize, currentSize,
          now.GetIsStub() ? "Yes" : "No", before.GetIsStub() ? "Yes" : "No");

    const CTrueUpCompareOptions& o = *m_options;
    const bool modified = !o.IsModifiedTimeCheckSkipped() && previousModified != currentModified;
    const bool resized = !o.IsSizeCheckSkipped() && currentSize != 0 && previousSize != currentSize;
    const bool changed = !o.IsChangeTimeCheckSkipped() && previousChanged != 0 && previousChanged != currentChanged;
    const bool stubChanged = before.GetIsStub() != now.GetIsStub();
    const bool aclOnly = now.IsACLOnly() && !modified && !resized && !stubChanged;

    bool different = modified || resized || changed || stubChanged;
    if (different && now.GetIsStub() && o.IsAllCheckSkippedForStub()) {
        ZYLOG(6, "File [%s] is currently a stub; Not adding it to TrueUp collect", path.c_str());
        different = false;
    }
    if (!different) {
        ZYLOG(6, "TrueUp criteria not met for file [%s]", path.c_str());
        return CKoError::Success();
    }

    std::string reason;
    if (o.IsAddDecisionPointInformation()) {
        std::string parts;
        auto separator = [&]() { return parts.empty() ? "" : ", "; };
        if (!o.IsModifiedTimeCheckSkipped() && currentModified < previousModified)
            parts += FXString::Format("%s[CurrentModifiedTime != PreviousModifiedTime] [%lld < %lld]", separator(),
                                      currentModified, previousModified);
        if (!o.IsSizeCheckSkipped() && currentSize != previousSize)
            parts += FXString::Format("%s[CurrentSize != PreviousSize] [%llu != %llu]", separator(), currentSize,
                                      previousSize);
        if (!o.IsChangeTimeCheckSkipped() && currentChanged != previousChanged)
            parts += FXString::Format("%s[tsCurrentChangeTime != tsPreviousChangeTime] [%lld != %lld]", separator(),
                                      currentChanged, previousChanged);
        if (stubChanged)
            parts += FXString::Format("%s[bPrevStub != bCurStub] [%u != %u]", separator(), before.GetIsStub() ? 1u : 0u,
                                      now.GetIsStub() ? 1u : 0u);
        reason = "TrueUp(" + parts + ")";
    }
    const uint32_t changes = (modified ? CTrueUpDifferenceItem::CHANGE_MODIFIED_TIME : 0u) |
                             (resized ? CTrueUpDifferenceItem::CHANGE_SIZE : 0u) |
                             (changed ? CTrueUpDifferenceItem::CHANGE_CHANGE_TIME : 0u) |
                             (stubChanged ? CTrueUpDifferenceItem::CHANGE_STUB : 0u);
    return Report(&CTrueUpDifferenceCallback::OnModifiedItem, path, std::move(reason), false, currentSize, false,
                  now.GetCollectField(), aclOnly, changes);
}
