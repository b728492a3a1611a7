#include "TreeDirChangeRecorder.h"

#include <cerrno>
#include <cstdio>

#include "core/Env.h"
#include "scan/dirchange/PositionalLineSource.h"
#include "scan/dirchange/TreeDirChangeFileReader.h"

namespace {

using Flags = BDirChangeItemFlags;

// A stdio stream whose bytes go to a file of the file-system seam.
struct SeamStream {
    FXWritableFile* file;
    CKoError error;
};

ssize_t WriteToSeam(void* cookie, const char* data, size_t size) {
    auto* stream = static_cast<SeamStream*>(cookie);
    if (stream->error.IsSuccess()) stream->error = stream->file->Append(std::string_view(data, size));
    if (stream->error.IsError()) {
        errno = EIO;
        return -1;
    }
    return static_cast<ssize_t>(size);
}

}  // namespace

CTreeDirChangeRecorder::CTreeDirChangeRecorder(const SOptions& options) : m_dc(std::make_shared<CDirChange>()) {
    m_dc->SetIncludeFiles(options.includeFiles);
}

CKoError CTreeDirChangeRecorder::LoadPrevious(const std::string& fileName, ContentMapperAPI* mapper) {
    // The tree DirChange takes every line as it is: a line cut short by a crash, garbage or a
    // folder that is not a path would become an item (and later a deleted one). Such a file is not
    // used at all, so the job runs full and says why.
    std::unique_ptr<FXRandomAccessFile> file;
    CKoError error = FXEnv::Current()->NewRandomAccessFile(fileName, file);
    if (error.IsError()) return error.Push(ZY_HERE, "Failed to open previous DirChange file, FileName=[%s]", fileName.c_str());
    SDirChangeLoadReport report;
    CPositionalLineSource source(file.get(), 0);
    CTreeDirChangeFileReader reader(source, nullptr, report);
    for (CTreeDirChangeFileReader::EKind kind = CTreeDirChangeFileReader::FOLDER; kind != CTreeDirChangeFileReader::END;) {
        error = reader.Next(kind);
        if (error.IsError()) return error.Push(ZY_HERE, "File error reading DirChange file, FileName=%s", fileName.c_str());
    }
    if (report.HasSkipped())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA,
                                       "The previous DirChange holds unusable lines, FileName=[%s], %s", fileName.c_str(),
                                       report.Summary().c_str());
    file.reset();
    error = m_dc->LoadFile(fileName, mapper);
    if (error.IsError()) return error.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CTreeDirChangeRecorder::StartCurrent(const std::string& fileName) {
    m_currentFile = fileName;
    return CKoError::Success();
}

CKoError CTreeDirChangeRecorder::AddSurface(const std::string& /*root*/) {
    // The folders above a root become intermediate folders when the walk ends.
    return CKoError::Success();
}

bool CTreeDirChangeRecorder::IsFileInPreviousJob(const std::string& path) {
    return m_dc->IsItemInPreviousJob(path, Flags::PD_FILE);
}

bool CTreeDirChangeRecorder::IsFolderInPreviousJob(const std::string& path) {
    Flags flags;
    return m_dc->search(path, flags) == EPathCacheResult::FOUND_EXACT && flags.IsSet(Flags::PREVIOUSDIRCHANGE) &&
           !flags.IsSet(Flags::PD_FILE);
}

CKoError CTreeDirChangeRecorder::AddFolder(const std::string& path) {
    return m_dc->AddItem(path, Flags(Flags::CURRENTDIRCHANGE), std::string(), FVBasePtr());
}

CKoError CTreeDirChangeRecorder::AddFile(const std::string& path, bool collected) {
    Flags flags = Flags(Flags::CURRENTDIRCHANGE) | Flags(Flags::CD_FILE);
    if (collected) flags |= Flags(Flags::CURRENTCOLLECT) | Flags(Flags::CC_FILE);
    return m_dc->AddItem(path, flags, std::string(), FVBasePtr());
}

CKoError CTreeDirChangeRecorder::CarryForward(const std::string& path) {
    // A folder the walk saw where the previous job had a file: a file has nothing below it to
    // keep, and the folder stays a folder.
    Flags flags;
    if (m_dc->search(path, flags) == EPathCacheResult::FOUND_EXACT && flags.IsSet(Flags::PD_FILE) &&
        flags.IsSet(Flags::CURRENTDIRCHANGE) && !flags.IsSet(Flags::CD_FILE))
        return CKoError::Success();
    return m_dc->CarryForward(path);
}

bool CTreeDirChangeRecorder::IsWritten(const std::string& folder) { return m_dc->IsWritten(folder, Flags::COLLECT_WRITTEN); }

CKoError CTreeDirChangeRecorder::SetWritten(const std::string& folder) {
    return m_dc->SetWritten(folder, Flags::COLLECT_WRITTEN);
}

CKoError CTreeDirChangeRecorder::EndScan() {
    CKoError error = m_dc->IdentifyIntermediateNodes();
    if (error.IsError()) return error.Push(ZY_HERE);
    if (m_currentFile.empty())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "No current DirChange file");
    std::unique_ptr<FXWritableFile> file;
    error = FXEnv::Current()->NewWritableFile(m_currentFile, EWriteMode::Truncate, file);
    if (error.IsError()) return error.Push(ZY_HERE, "Failed to open DirChange file, FileName=%s", m_currentFile.c_str());
    SeamStream cookie{file.get(), CKoError()};
    cookie_io_functions_t functions{nullptr, WriteToSeam, nullptr, nullptr};
    FILE* stream = ::fopencookie(&cookie, "w", functions);
    if (!stream) return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "fopencookie failed");
    std::setvbuf(stream, nullptr, _IOFBF, 256 * 1024);
    error = m_dc->WriteCurrentDirChange(stream);
    const bool closed = std::fclose(stream) == 0;
    if (error.IsSuccess() && cookie.error.IsError()) error = cookie.error;
    if (error.IsSuccess() && !closed) error = FXErrorUtil::ErrorErrNo(ZY_HERE, EIO, "Failed to write the DirChange");
    if (error.IsSuccess()) error = file->Sync();
    if (error.IsSuccess()) error = file->Close();
    if (error.IsError()) return error.Push(ZY_HERE, "FileName=[%s]", m_currentFile.c_str());
    return CKoError::Success();
}

CKoError CTreeDirChangeRecorder::WriteDeletedItems(FILE* out, bool listEveryItem) {
    return m_dc->WriteDeletedItems(out, listEveryItem);
}
