#include "scan/job/JobDirChange.h"

#include "core/Path.h"
#include "core/PlatformInfo.h"
#include "core/StringUtil.h"
#include "scan/job/JobState.h"

EDirChangeKind CJobDirChange::Choose(const std::optional<EDirChangeKind>& asked, const SScanRecord* previous,
                                     std::string& note) {
    note.clear();
    if (asked) return *asked;
    std::string setting;
    if (ZYPlatformInfo::getString("FileSystemAgent", "DirChangeKind", setting).IsSuccess()) {
        EDirChangeKind kind;
        CKoError e = EDirChangeKind::FromSetting(kind);
        if (e.IsSuccess()) return kind;
        note = "the setting is not a DirChange kind and is not used: " + e.GetMessage();
    }
    if (previous) {
        EDirChangeKind kind;
        // An unknown record cannot be loaded anyway (OpenPrevious says so); the tree kind is the default.
        if (EDirChangeKind::FromRecord(previous->dirChangeKind, kind).IsSuccess()) return kind;
    }
    return EDirChangeKind::DIRCHANGE_KIND_TREE;
}

CKoError CJobDirChange::New(EDirChangeKind kind, bool includeFiles, const Factory& factory,
                            std::unique_ptr<CDirChangeRecorder>& out) {
    // The segment DirChange reads every folder's files from its file: it has no folders-only mode,
    // and a job that asked for one would keep files without saying so.
    if (kind == EDirChangeKind::DIRCHANGE_KIND_SEGMENTS && !includeFiles)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_BAD_ARGUMENTS,
                                       "The segments DirChange always keeps files; folders only needs the tree or flat kind");
    CDirChangeRecorder::SOptions options;
    options.includeFiles = includeFiles;
    CKoError e = factory ? factory(kind, options, out) : CDirChangeRecorder::Create(kind, options, out);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot create the DirChange, Kind=[%s]", kind.AsString());
    return CKoError::Success();
}

CKoError CJobDirChange::OpenPrevious(EDirChangeKind kind, bool includeFiles, const Factory& factory,
                                     const SScanRecord& previous, const std::string& resultsDir, SOpened& out) {
    out = SOpened();
    CKoError e = New(kind, includeFiles, factory, out.recorder);
    if (e.IsError()) return e.Push(ZY_HERE);

    EDirChangeKind previousKind;
    e = EDirChangeKind::FromRecord(previous.dirChangeKind, previousKind);
    if (e.IsError()) {
        out.fallbackReason = "the previous DirChange is unusable: " + e.AsString();
        return CKoError::Success();
    }
    if (!kind.CanLoadPreviousOf(previousKind, out.fallbackReason)) return CKoError::Success();

    const std::string path = FXPath::Join(resultsDir, previous.dirChangeFile);
    unsigned long long size = 0, hash = 0;
    e = HashFile(path, size, hash);
    if (e.IsSuccess() && (size != previous.dirChangeSize || hash != previous.dirChangeHash))
        e = FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "The previous DirChange was damaged or replaced, FileName=[%s]",
                                    path.c_str());
    if (e.IsSuccess()) e = out.recorder->LoadPrevious(path, nullptr);
    if (e.IsError()) {
        // Gone or not what was recorded: the job runs full. Not readable now: it fails, and the
        // next attempt may well read it.
        if (!FXErrorUtil::IsWin32(e, ZyWin32::ERROR_FILE_NOT_FOUND) && !FXErrorUtil::IsWin32(e, ZyWin32::ERROR_INVALID_DATA))
            return e.Push(ZY_HERE, "Cannot read the previous DirChange, FileName=[%s]", path.c_str());
        out.fallbackReason = "the previous DirChange is unusable: " + e.AsString();
        // What was loaded in part goes: the full job starts from nothing.
        e = New(kind, includeFiles, factory, out.recorder);
        if (e.IsError()) return e.Push(ZY_HERE);
        return CKoError::Success();
    }
    const SDirChangeLoadReport report = out.recorder->GetLoadReport();
    if (report.HasSkipped()) out.skipped = report.Summary();
    out.loaded = true;
    return CKoError::Success();
}
