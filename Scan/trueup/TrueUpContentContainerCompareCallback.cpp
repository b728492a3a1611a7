#include "scan/trueup/TrueUpContentContainerCompareCallback.h"

#include "TrueUpDifferenceRules.h"
#include "core/LogWriter.h"
#include "scan/trueup/TrueUpDirChangeItemDataImpl.h"

namespace {

// The item data of a metadata text; null (logged) when the text cannot be read.
CTrueUpDirChangeItemDataImplPtr Read(const std::string& path, const std::string& metadata) {
    CTrueUpDirChangeItemDataImplPtr data;
    CKoError e = CTrueUpDirChangeItemDataImpl::FromXml(data, metadata);
    if (e.IsError()) {
        ZYLOG_ERROR("Unreadable item metadata, File=[%s], error=%s", path.c_str(), e.AsString().c_str());
        data.reset();
    }
    return data;
}

CKoError Passed(CKoError e, const FXCodeLocation& here, const std::string& path) {
    if (e.IsError()) return e.Push(here, "File=[%s]", path.c_str());
    return e;
}

}  // namespace

CTrueUpContentContainerCompareCallback::CTrueUpContentContainerCompareCallback(
    CTrueUpDifferenceCallbackPtr differenceCallback, CAbortOperationCheckPtr abortCheck,
    CTrueUpCompareOptionsPtr options)
    : m_rules(std::make_unique<CTrueUpDifferenceRules>(std::move(differenceCallback), std::move(abortCheck),
                                                       std::move(options))) {}

CTrueUpContentContainerCompareCallback::~CTrueUpContentContainerCompareCallback() = default;

bool CTrueUpContentContainerCompareCallback::IsAborted() { return m_rules->IsAborted(); }

CKoError CTrueUpContentContainerCompareCallback::OnFolderInIndex1(const std::string&, const std::string&) {
    return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_SUPPORTED);
}

CKoError CTrueUpContentContainerCompareCallback::OnFolderInIndex2(const std::string&, const std::string&) {
    return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_SUPPORTED);
}

CKoError CTrueUpContentContainerCompareCallback::OnFolderInBothIndexes(const std::string&, const std::string&,
                                                                       const std::string&) {
    return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_SUPPORTED);
}

CKoError CTrueUpContentContainerCompareCallback::OnFolderInIndex1(const std::string& path, const std::string&,
                                                                  bool& /*recurse*/) {
    if (path == "/") return CKoError::Success();  // the root is never gone, nor new
    return Passed(m_rules->OnlyInTrueUp(path, true), ZY_HERE, path);
}

CKoError CTrueUpContentContainerCompareCallback::OnFolderInIndex2(const std::string& path, const std::string&,
                                                                  const std::string& metadata) {
    if (path == "/") return CKoError::Success();
    const CTrueUpDirChangeItemDataImplPtr data = Read(path, metadata);
    return Passed(m_rules->OnlyInComparison(path, true, data.get()), ZY_HERE, path);
}

CKoError CTrueUpContentContainerCompareCallback::OnFolderInBothIndexes(const std::string&, const std::string&,
                                                                       const std::string&, const std::string&,
                                                                       const std::string&) {
    return CKoError::Success();
}

CKoError CTrueUpContentContainerCompareCallback::OnFileInIndex1(const std::string& path, const std::string&,
                                                                const std::string&) {
    return Passed(m_rules->OnlyInTrueUp(path, false), ZY_HERE, path);
}

CKoError CTrueUpContentContainerCompareCallback::OnFileInIndex2(const std::string& path, const std::string&,
                                                                const std::string& metadata2) {
    const CTrueUpDirChangeItemDataImplPtr data = Read(path, metadata2);
    return Passed(m_rules->OnlyInComparison(path, false, data.get()), ZY_HERE, path);
}

CKoError CTrueUpContentContainerCompareCallback::OnFileInBothIndexes(const std::string& path, const std::string&,
                                                                     const std::string& metadata1,
                                                                     const std::string& metadata2) {
    if (CTrueUpDifferenceRules::IsLeftOut(path) || CTrueUpDifferenceRules::IsPst(path)) return CKoError::Success();
    const CTrueUpDirChangeItemDataImplPtr previous = Read(path, metadata1);
    const CTrueUpDirChangeItemDataImplPtr current = Read(path, metadata2);
    return Passed(m_rules->InBoth(path, previous.get(), current.get()), ZY_HERE, path);
}
