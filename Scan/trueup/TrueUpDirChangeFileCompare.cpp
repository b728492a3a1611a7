// The comparison run over two flat DirChange files.
#include "TrueUpBrowseHandlerPrivate.h"
#include "core/Env.h"
#include "core/LogWriter.h"
#include "scan/dirchange/PathCacheFlatFileIndex.h"
#include "scan/trueup/TrueUpDirChangeCompareCallback.h"
#include "scan/trueup/TrueUpDirChangeParser.h"

namespace {

CKoError CheckFile(const std::string& name, const char* notConfigured, const char* missing) {
    if (name.empty()) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "%s", notConfigured);
    FXFileStat st;
    if (FXEnv::Current()->Stat(name, st, true).IsError())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, missing, name.c_str());
    return CKoError::Success();
}

}  // namespace

CKoError CTrueUpBrowseHandlerPrivate::CompareDirChangeFiles(const CTrueUpCompareOptionsPtr& options,
                                                            const CTrueUpDifferenceCallbackPtr& callback,
                                                            const CAbortOperationCheckPtr& abort) {
    CKoError e = CheckFile(trueUpFileName, "TrueUp DirChange file name not configured",
                           "TrueUp DirChange file does not exist, FileName=[%s]");
    if (e.IsSuccess())
        e = CheckFile(comparisonFileName, "Comparison DirChange file name not configured",
                      "Comparison DirChange file does not exist, FileName=[%s]");
    if (e.IsError()) return e.Push(ZY_HERE);

    std::unique_ptr<CPathCacheFlatFileIndex> index;
    std::shared_ptr<CTrueUpDirChangeParser> parser;
    std::unique_ptr<CTrueUpDirChangeCompareCallback> compareCallback;
    try {
        index = std::make_unique<CPathCacheFlatFileIndex>();
        parser = std::make_shared<CTrueUpDirChangeParser>();
        compareCallback = std::make_unique<CTrueUpDirChangeCompareCallback>(callback, abort, options);
    } catch (const std::bad_alloc&) {
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "Failed to allocate the comparison");
    }
    index->SetPreviousBackingFileParser(parser);
    index->SetCurrentBackingFileParser(parser);
    e = index->SetPreviousBackingFile(trueUpFileName, nullptr);
    if (e.IsSuccess()) e = index->SetCurrentBackingFile(comparisonFileName, nullptr);
    if (e.IsError()) return e.Push(ZY_HERE);
    // A line left out would pass for an item that is gone, or one never backed up: a damaged
    // record is refused rather than compared.
    const struct {
        DirChangeSourceEnum source;
        const std::string& name;
    } records[] = {{DIRCHANGE_SOURCE_PREVIOUS, trueUpFileName}, {DIRCHANGE_SOURCE_CURRENT, comparisonFileName}};
    for (const auto& record : records) {
        const SDirChangeLoadReport report = index->GetLoadReport(record.source);
        if (report.HasSkipped())
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA,
                                           "The DirChange file is damaged, FileName=[%s], Load=[%s]",
                                           record.name.c_str(), report.Summary().c_str());
    }
    ZYLOG(1, "Opened DirChange files for comparison, TrueUpFileName=[%s], ComparisonFileName=[%s]",
          trueUpFileName.c_str(), comparisonFileName.c_str());
    // Folders only in one record are always descended into: the files of a folder that no backup
    // holds are new, and would be lost if the folder alone were looked at.
    e = index->Compare(*compareCallback, CPathCacheFlatFileIndex::kCompareRecurseAlways);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}
