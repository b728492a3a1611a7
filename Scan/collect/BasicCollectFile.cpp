#include "scan/collect/BasicCollectFile.h"

#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

#include "core/File.h"
#include "core/Path.h"
#include "core/TimeStamp.h"
#include "scan/dirchange/PathCache.h"
#include "scan/collect/StartCharacterCollectLineFormatter.h"

namespace {

using CFolderMap = CPathCacheUnorderedT<unsigned int>;

// One large buffer per file: a scan writes millions of short lines.
constexpr size_t kStreamBufferSize = 256 * 1024;

constexpr char kFabricatedTag[] = "|<FABRICATED>";

std::string_view WithoutTrailingDelimiters(std::string_view path) {
    while (!path.empty() && FXPath::IsDelimiter(path.back())) path.remove_suffix(1);
    return path;
}

// The end of the part of the file, at or after `floor`, that holds only complete lines.
CKoError LastLineEnd(FXStreamFile& file, uint64_t floor, uint64_t end, uint64_t& lineEnd) {
    char buffer[4096];
    for (uint64_t to = end; to > floor;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof buffer, to - floor));
        const uint64_t from = to - n;
        size_t got = 0;
        CKoError e = file.ReadAt(from, buffer, n, got);
        if (e.IsError()) return e;
        if (got != n) return FXErrorUtil::ErrorErrNo(ZY_HERE, EIO, "Short read, Offset=[%llu]", static_cast<unsigned long long>(from));
        for (size_t i = n; i-- > 0;) {
            if (buffer[i] == '\n') {
                lineEnd = from + i + 1;
                return CKoError::Success();
            }
        }
        to = from;
    }
    lineEnd = floor;
    return CKoError::Success();
}

}  // namespace

class CBasicCollectFilePrivate {
public:
    CBasicCollectFilePrivate() = default;
    ~CBasicCollectFilePrivate();
    CBasicCollectFilePrivate(const CBasicCollectFilePrivate&) = delete;
    CBasicCollectFilePrivate& operator=(const CBasicCollectFilePrivate&) = delete;

    const char* FileName() const { return m_outputFilePath.empty() ? "collect file" : m_outputFilePath.c_str(); }
    void Adopt(FXFileHandle&& file);
    CKoError Write(const char* data, size_t size);
    // The line, `suffix` and a line feed in one write; the line's spare capacity is used when
    // there is enough of it.
    CKoError WriteLine(std::string& line, std::string_view suffix);
    CKoError Close();
    void OnWriteFailure(int err);
    void RememberWritten(std::string_view path);
    bool HasNotCountedMarks() const {
        const auto& root = m_pathsNotCounted->GetRoot();
        return root->HasChildren() || root->IsContentPresent();
    }
    // The mark of exactly `path` in PathsNotCounted (0 when none).
    uint32_t NotCountedMarks(std::string_view path) const {
        unsigned int value = 0;
        return m_pathsNotCounted->Search(path, value) == EPathCacheResult::FOUND_EXACT ? value : 0;
    }

    std::string m_outputFilePath;
    // Declared before the stream, which uses it until it is closed.
    std::unique_ptr<char[]> m_streamBuffer;
    FXFileHandle m_file;
    std::shared_ptr<CFolderMap> m_paths = std::make_shared<CFolderMap>();
    std::shared_ptr<CFolderMap> m_pathsNotCounted = std::make_shared<CFolderMap>();
    bool m_isFullBackup = true;
    bool m_allowFolders = true;
    bool m_allowFoldersBelowSurface = true;
    bool m_addAncestorPaths = true;
    bool m_modifyMetadataForAncestor = false;
    uint64_t m_pathMaximumLength = 0;
    std::shared_ptr<CCheckIfAlreadyPresent> m_checkIfAlreadyPresent;
    bool m_delegatePaths = false;
    long long m_countedFoldersWritten = 0;
    long long m_countedFilesWritten = 0;
    CTimeCounter m_addFileTime;
    CTimeCounter m_addFolderTime;
    CTimeCounter m_isFolderAlreadyAddedTime;

    // The first write failure; every later write fails with it, so that nothing lands after a
    // gap the failure left.
    int m_writeError = 0;
    // Cutting the file back after a failure never goes below what it held when it was opened.
    uint64_t m_sizeAtOpen = 0;
    // The folder last found in (or put into) Paths, without trailing delimiter: the items of one
    // folder come one after the other, and their parent is then known without a trie search.
    std::string m_lastWrittenFolder;
    bool m_lastWrittenFolderValid = false;
    // Reused buffers of the per-item path.
    std::string m_line;
    std::string m_ancestorPath;
    std::string m_savedSourceVolumePath;
};

CBasicCollectFilePrivate::~CBasicCollectFilePrivate() {
    CKoError error = Close();
    if (error.IsError()) ZYLOG_ERROR("Close failed, error=%s", error.AsString().c_str());
    ZYLOG(2,
          "CollectFile=[%s], CountedFolders=[%lld], CountedFiles=[%lld], PathsMemoryUsage=[%lld bytes], "
          "PathsNotCountedMemoryUsage=[%lld bytes]",
          m_outputFilePath.c_str(), m_countedFoldersWritten, m_countedFilesWritten,
          static_cast<long long>(m_paths->GetMemoryUsed()), static_cast<long long>(m_pathsNotCounted->GetMemoryUsed()));
    m_file.Reset();
}

void CBasicCollectFilePrivate::Adopt(FXFileHandle&& file) {
    m_file = std::move(file);
    m_writeError = 0;
    m_sizeAtOpen = 0;
    if (m_file.Seam() && m_file.Seam()->Size(m_sizeAtOpen).IsError()) m_sizeAtOpen = 0;
}

CKoError CBasicCollectFilePrivate::Write(const char* data, size_t size) {
    FILE* file = m_file.Get();
    if (!file) return FXErrorUtil::ErrorErrNo(ZY_HERE, EBADF, "fwrite failed");
    if (m_writeError != 0) return FXErrorUtil::ErrorErrNo(ZY_HERE, m_writeError, "fwrite failed");
    if (size == 0) return CKoError::Success();
    errno = 0;
    // A failing unbuffered stream may still answer the full count: its error flag tells.
    if (::fwrite_unlocked(data, 1, size, file) != size || ::ferror_unlocked(file)) {
        const int err = errno != 0 ? errno : EIO;
        OnWriteFailure(err);
        return FXErrorUtil::ErrorErrNo(ZY_HERE, err, "fwrite failed");
    }
    return CKoError::Success();
}

CKoError CBasicCollectFilePrivate::WriteLine(std::string& line, std::string_view suffix) {
    std::string* out = &line;
    if (line.capacity() < line.size() + suffix.size() + 1) {
        m_line.assign(line);
        out = &m_line;
    }
    out->append(suffix);
    out->push_back('\n');
    return Write(out->data(), out->size());
}

// A failed write may leave part of a line in the file, and stdio drops what it could not write:
// the file is cut back to its last complete line, so that a reader never meets a torn item, and
// the rest of the buffer is dropped for good. A stream opened elsewhere is only purged.
void CBasicCollectFilePrivate::OnWriteFailure(int err) {
    m_writeError = err;
    ::__fpurge(m_file.Get());
    FXStreamFile* seam = m_file.Seam();
    if (!seam) return;
    uint64_t size = 0, end = 0;
    CKoError e = seam->Size(size);
    if (e.IsSuccess() && size <= m_sizeAtOpen) return;
    if (e.IsSuccess()) e = LastLineEnd(*seam, m_sizeAtOpen, size, end);
    if (e.IsSuccess() && end == size) return;
    if (e.IsSuccess()) e = seam->Truncate(end);
    if (e.IsError()) {
        ZYLOG_ERROR("Failed to cut collect file back to its last complete line, CollectFile=[%s], error=%s", FileName(),
                    e.AsString().c_str());
        return;
    }
    ZYLOG_ERROR("Collect file cut back to its last complete line, CollectFile=[%s], Size=[%llu], NewSize=[%llu]",
                FileName(), static_cast<unsigned long long>(size), static_cast<unsigned long long>(end));
}

CKoError CBasicCollectFilePrivate::Close() {
    FILE* file = m_file.Get();
    if (!file) return CKoError::Success();
    const bool flushed = std::fflush(file) == 0;
    if (!flushed && m_writeError == 0) OnWriteFailure(errno != 0 ? errno : EIO);
    if (!flushed || m_writeError != 0) {
        // The system's reason (a full disk, say) goes on the stack under the given message.
        CKoError error = FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_GENERAL_FAILURE,
                                                 "Flush output failed, CollectFile=[%s]", m_outputFilePath.c_str());
        char text[256];
        return error.Push(ZY_HERE, "%s", strerror_r(m_writeError != 0 ? m_writeError : EIO, text, sizeof text));
    }
    return CKoError::Success();
}

void CBasicCollectFilePrivate::RememberWritten(std::string_view path) {
    m_lastWrittenFolder.assign(WithoutTrailingDelimiters(path));
    m_lastWrittenFolderValid = true;
}

// ---------------------------------------------------------------------------------------------

CBasicCollectFile::CBasicCollectFile() : m_p(std::make_shared<CBasicCollectFilePrivate>()) {}

CBasicCollectFile::~CBasicCollectFile() = default;

void CBasicCollectFile::SetOutputFilePath(const std::string& path) { m_p->m_outputFilePath = path; }

const std::string& CBasicCollectFile::GetOutputFilePath() const { return m_p->m_outputFilePath; }

CKoError CBasicCollectFile::OpenOutputFile(bool append) {
    CBasicCollectFilePrivate& p = *m_p;
    // The buffer is shared by successive streams: the previous one goes first.
    p.m_file.Reset();
    FXFileHandle file;
    CKoError error = FXFile::zyfopen(p.m_outputFilePath, append ? "ab+" : "wb", file);
    if (error.IsError())
        return error.Push(ZY_HERE, "Failed to open file, FileName=[%s], OpenForAppend=[%u]", p.m_outputFilePath.c_str(),
                          static_cast<unsigned>(append));
    if (!p.m_streamBuffer) p.m_streamBuffer.reset(new char[kStreamBufferSize]);
    std::setvbuf(file.Get(), p.m_streamBuffer.get(), _IOFBF, kStreamBufferSize);
    p.Adopt(std::move(file));
    return CKoError::Success();
}

void CBasicCollectFile::OpenOutputStream(FILE* stream) { m_p->Adopt(FXFileHandle(stream)); }

void CBasicCollectFile::SetIsFullBackup(bool isFullBackup) {
    m_p->m_isFullBackup = isFullBackup;
    m_p->m_allowFolders = isFullBackup;
}

void CBasicCollectFile::SetAllowFolders(bool allow, bool verbose) {
    CBasicCollectFilePrivate& p = *m_p;
    if (allow != p.m_allowFolders)
        ZYLOG(verbose ? 5 : 1, "%s folders be added directly to %s", allow ? "Allowing" : "Not allowing", p.FileName());
    p.m_allowFolders = allow;
}

bool CBasicCollectFile::IsAllowFolders() const { return m_p->m_allowFolders; }

void CBasicCollectFile::SetAllowFoldersBelowSurface(bool allow) {
    CBasicCollectFilePrivate& p = *m_p;
    if (allow != p.m_allowFoldersBelowSurface)
        ZYLOG(1, "%s folders below surface in %s", allow ? "Allowing" : "Not allowing", p.FileName());
    p.m_allowFoldersBelowSurface = allow;
}

void CBasicCollectFile::SetAddAncestorPaths(bool add) {
    CBasicCollectFilePrivate& p = *m_p;
    if (add != p.m_addAncestorPaths)
        ZYLOG(2, "%s ancestor path collection in %s", add ? "Enabling" : "Disabling", p.FileName());
    p.m_addAncestorPaths = add;
}

void CBasicCollectFile::SetModifyMetadataForAncestor(bool modify) { m_p->m_modifyMetadataForAncestor = modify; }

bool CBasicCollectFile::IsModifyMetadataForAncestor() const { return m_p->m_modifyMetadataForAncestor; }

void CBasicCollectFile::SetCheckIfAlreadyPresent(const std::shared_ptr<CCheckIfAlreadyPresent>& hook) {
    m_p->m_checkIfAlreadyPresent = hook;
}

void CBasicCollectFile::ResetCheckIfAlreadyPresent() { m_p->m_checkIfAlreadyPresent.reset(); }

void CBasicCollectFile::SetDelegatePaths(bool delegate) { m_p->m_delegatePaths = delegate; }

void CBasicCollectFile::SetPathMaximumLength(uint64_t length) { m_p->m_pathMaximumLength = length; }

void CBasicCollectFile::AddSurface(const std::string& path) {
    CBasicCollectFilePrivate& p = *m_p;
    std::string remaining = path;
    FXPath::RemoveTrailingDelimiter(remaining);
    // The surface itself is not recorded, only its ancestors.
    for (size_t cut = remaining.rfind('/'); cut != std::string::npos; cut = remaining.rfind('/')) {
        remaining.resize(cut);
        const bool top = cut == 0;
        CKoError error = p.m_pathsNotCounted->InsertOrUpdate<KeepAffinity>(remaining, top ? kSurfaceTop : kSurfaceAncestor);
        if (error.IsError())
            ZYLOG_ERROR("Failed to record surface ancestor, Surface=[%s], Ancestor=[%s], error=%s", path.c_str(),
                        remaining.c_str(), error.AsString().c_str());
        if (!top && p.m_allowFoldersBelowSurface) continue;
        if (p.m_delegatePaths) {
            if (p.m_checkIfAlreadyPresent) p.m_checkIfAlreadyPresent->SetWritten(remaining).IgnoreError();
            continue;
        }
        error = p.m_paths->Insert(remaining, 1);
        if (error.IsError())
            ZYLOG_ERROR("Failed to record surface ancestor as written, Surface=[%s], Ancestor=[%s], error=%s",
                        path.c_str(), remaining.c_str(), error.AsString().c_str());
    }
}

CKoError CBasicCollectFile::SetAffinity(const std::string& path, uint32_t affinity, uint32_t flags) {
    CBasicCollectFilePrivate& p = *m_p;
    std::string target = path;
    FXPath::RemoveTrailingDelimiter(target);
    if (flags & kAffinityParent) {
        std::string parent, name;
        CKoError error = FXPath::SplitParentPath(target, parent, name);
        if (error.IsSuccess()) {
            ZYLOG(3, "FolderName=[%s], Parent=[%s]", target.c_str(), parent.c_str());
            target = FXPath::RemoveTrailingDelimiter(parent);
        } else if (FXErrorUtil::IsWin32(error, ZyWin32::ERROR_PATH_NOT_FOUND)) {
            target = "/";
        } else {
            return error.Push(ZY_HERE, "SplitParentPath failed, Path=[%s]", target.c_str());
        }
    }
    ZYLOG(3, "FolderName=[%s], Path=[%s]", path.c_str(), target.c_str());
    const uint32_t value = affinity << 16;
    CKoError error = p.m_pathsNotCounted->InsertOrUpdate<CombineAffinity>(target, value);
    if (error.IsError()) return error.Push(ZY_HERE, "Failed to record affinity, Path=[%s]", target.c_str());
    if (!(flags & kAffinityAncestors)) return CKoError::Success();
    for (size_t cut = target.rfind('/'); cut != std::string::npos; cut = target.rfind('/')) {
        target.resize(cut);
        error = p.m_pathsNotCounted->InsertOrUpdate<CombineAffinity>(target, value);
        if (error.IsError()) return error.Push(ZY_HERE, "Failed to record affinity, Path=[%s]", target.c_str());
    }
    return CKoError::Success();
}

CKoError CBasicCollectFile::FinalizeAffinityFabricated() {
    CBasicCollectFilePrivate& p = *m_p;
    const CFolderMap& marks = *p.m_pathsNotCounted;
    std::set<std::string> uncovered;
    for (CFolderMap::NodeIterator it(std::string(), marks.GetRoot(), marks.GetDelimiter(), marks.IsExposeRoot());
         !it.IsEnd(); ++it) {
        const CFolderMap::NodePtr node = it.GetNode();
        const uint32_t data = node->GetData();
        ZYLOG(4, "Name=[%s], ContentPresent=[%u], Data=[0x%X]", it.GetName().c_str(),
              static_cast<unsigned>(node->IsContentPresent()), data);
        if (!(data & kAffinityFabricationCandidate)) continue;
        bool covered = false;
        for (CFolderMap::NodePtr up = node->GetParent(); up && !covered; up = up->GetParent())
            covered = up->IsContentPresent() && (up->GetData() & kAffinityFabricationCandidate);
        if (covered) {
            ZYLOG(3, "Ancestor found, Name=[%s]", it.GetName().c_str());
            node->SetData(data & ~kAffinityFabricationCandidate);
        } else {
            ZYLOG(3, "No ancestor found, Name=[%s]", it.GetName().c_str());
            uncovered.insert(it.GetName());
        }
    }
    for (const std::string& name : uncovered) {
        CKoError error = SetAffinity(name, 1, kAffinityAncestors | kAffinityParent);
        if (error.IsError()) return error.Push(ZY_HERE, "SetAffinity failed, Path=[%s]", name.c_str());
    }
    return CKoError::Success();
}

CKoError CBasicCollectFile::AddEntry(const CCollectFileFileEntry& entry, CCollectLineFormatter& formatter) {
    CBasicCollectFilePrivate& p = *m_p;
    CTimeCounter::Scoped timer(p.m_addFileTime);
    if (p.m_checkIfAlreadyPresent && p.m_checkIfAlreadyPresent->IsAlreadyPresent(entry.GetFullPath()))
        return CKoError::Success();
    if (p.m_addAncestorPaths) {
        CKoError error = WriteMissingAncestors(entry, formatter);
        if (error.IsError()) return error.Push(ZY_HERE);
    }
    CKoError error = WriteEntry(entry, formatter);
    if (error.IsError()) return error.Push(ZY_HERE, "WriteEntry failed, FullFilePath=[%s]", entry.GetFullPath().c_str());
    return CKoError::Success();
}

CKoError CBasicCollectFile::AddEntry(const CCollectFileFolderEntry& entry, CCollectLineFormatter& formatter) {
    CBasicCollectFilePrivate& p = *m_p;
    CTimeCounter::Scoped timer(p.m_addFolderTime);
    const std::string& path = entry.GetFullPath();
    const std::shared_ptr<CCheckIfAlreadyPresent>& hook = p.m_checkIfAlreadyPresent;
    // Incremental jobs without folders: only folders the previous job did not have, and only
    // when the scan can tell.
    if (!p.m_isFullBackup && !p.m_allowFolders && (!hook || hook->IsItemInPreviousJob(path))) return CKoError::Success();
    if (IsFolderAlreadyAdded(path) || (hook && hook->IsAlreadyPresent(path))) return CKoError::Success();
    if (p.m_addAncestorPaths) {
        CKoError error = WriteMissingAncestors(entry, formatter);
        if (error.IsError()) return error.Push(ZY_HERE);
    }
    CKoError error = WriteEntry(entry, formatter);
    if (error.IsError()) return error.Push(ZY_HERE, "WriteEntry failed, FullPath=[%s]", path.c_str());
    return CKoError::Success();
}

CKoError CBasicCollectFile::WriteMissingAncestors(const CCollectFileEntry& entry, CCollectLineFormatter& formatter) {
    CBasicCollectFilePrivate& p = *m_p;
    const std::string_view full = WithoutTrailingDelimiters(entry.GetFullPath());
    // A UNC path keeps its leading "\\" component.
    const size_t limit = full.size() >= 2 && full[0] == '\\' && full[1] == '\\' ? 1 : 0;
    std::vector<std::shared_ptr<CCollectFileFolderEntry>> missing;  // nearest first
    for (size_t end = full.size(); end > 0;) {
        const size_t cut = full.rfind('/', end - 1);
        if (cut == std::string_view::npos || cut < limit) break;
        end = cut;
        // "a//b": the empty component is no folder of its own.
        if (cut > 0 && FXPath::IsDelimiter(full[cut - 1])) continue;
        const std::string_view ancestor = full.substr(0, cut);
        // The cut at the first character leaves the root, which is never a line of its own. Only
        // the root can be a surface's top-most ancestor (AddSurface marks the cut at 0 alone).
        if (cut == 0) {
            if ((p.m_pathsNotCounted->GetRoot()->GetData() & kSurfaceFlagMask) == kSurfaceTop)
                ZYLOG(2, "AncestorFolderIgnored, Folder=[%.*s]", static_cast<int>(ancestor.size()), ancestor.data());
            break;
        }
        p.m_ancestorPath.assign(ancestor);
        if (IsFolderAlreadyAdded(p.m_ancestorPath)) break;
        std::shared_ptr<CCollectFileFolderEntry> folder;
        try {
            folder = std::make_shared<CCollectFileFolderEntry>(p.m_ancestorPath, ZY_HERE, "Ancestor", entry.IsNotCounted());
        } catch (const std::bad_alloc&) {
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY,
                                           "Failed to allocate ancestor entry, ParentPath=[%.*s]",
                                           static_cast<int>(ancestor.size()), ancestor.data());
        }
        CKoError error = ProcessFolderEntry(&entry, folder, formatter);
        if (error.IsError()) return error.Push(ZY_HERE, "ProcessFolderEntry failed, ParentPath=[%.*s]",
                                               static_cast<int>(ancestor.size()), ancestor.data());
        if (folder->ShouldSkipFolderFromCollect()) {
            ZYLOG(3, "Skipping folder from collect [%s]", folder->GetFullPath().c_str());
            break;
        }
        if (entry.IsAdhocItem()) {
            bool flag = false;
            ProcessCollectFileEntry(std::string(ancestor), folder, flag).IgnoreError();
        }
        missing.push_back(std::move(folder));
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        const std::shared_ptr<CCollectFileFolderEntry>& folder = *it;
        bool savedMountPoint = false;
        std::string savedTags;
        if (p.m_modifyMetadataForAncestor) {
            CKoError error = ModifyAncestorMetadata(folder, formatter, savedMountPoint, savedTags);
            if (error.IsError())
                return error.Push(ZY_HERE, "ModifyAncestorMetadata failed, ParentPath=[%s]", folder->GetFullPath().c_str());
        }
        CKoError error = WriteEntry(*folder, formatter);
        if (p.m_modifyMetadataForAncestor) {
            CKoError reset = ResetModifiedMetadata(formatter, savedMountPoint, savedTags);
            if (error.IsSuccess() && reset.IsError())
                return reset.Push(ZY_HERE, "ResetModifiedMetadata failed, ParentPath=[%s]", folder->GetFullPath().c_str());
        }
        if (error.IsError()) return error.Push(ZY_HERE, "WriteEntry failed, ParentPath=[%s]", folder->GetFullPath().c_str());
    }
    return CKoError::Success();
}

CKoError CBasicCollectFile::WriteEntry(const CCollectFileFileEntry& entry, CCollectLineFormatter& formatter) {
    CBasicCollectFilePrivate& p = *m_p;
    const std::string& path = entry.GetFullPath();
    if (p.m_pathMaximumLength != 0 && path.size() > p.m_pathMaximumLength) {
        ZYLOG(1, "Ignoring item with name that exceeds maximum size, FileName=[%s], Length=[%llu], PathMaximumLength=[%llu]",
              path.c_str(), static_cast<unsigned long long>(path.size()),
              static_cast<unsigned long long>(p.m_pathMaximumLength));
        return CKoError::Success();
    }
    std::string line = formatter.GetFormattedLine(entry);
    CKoError error = p.WriteLine(line, std::string_view());
    if (error.IsError()) return error.Push(ZY_HERE);
    if (!entry.IsNotCounted()) ++p.m_countedFilesWritten;
    return CKoError::Success();
}

CKoError CBasicCollectFile::WriteEntry(const CCollectFileFolderEntry& entry, CCollectLineFormatter& formatter) {
    CBasicCollectFilePrivate& p = *m_p;
    const std::string& path = entry.GetFullPath();
    const uint32_t marks = p.HasNotCountedMarks() ? p.NotCountedMarks(path) : 0;
    const uint32_t surface = marks & kSurfaceFlagMask;
    if (surface == kSurfaceTop) return CKoError::Success();
    // A surface's ancestors are backed up but are not items of the subclient.
    std::optional<CCollectFileFolderEntry> notCounted;
    const CCollectFileFolderEntry* folder = &entry;
    if (!entry.IsNotCounted() && surface == kSurfaceAncestor) {
        notCounted.emplace(entry);
        notCounted->SetNotCounted(true);
        folder = &*notCounted;
    }
    if (p.m_pathMaximumLength != 0 && path.size() > p.m_pathMaximumLength) {
        ZYLOG(1, "Ignoring item with name that exceeds maximum size, FileName=[%s], Length=[%llu], PathMaximumLength=[%llu]",
              path.c_str(), static_cast<unsigned long long>(path.size()),
              static_cast<unsigned long long>(p.m_pathMaximumLength));
        return CKoError::Success();
    }
    const bool fabricated = (marks & kAffinityFabricated) != 0;
    // The source volume tag belongs to folders of that volume, and never to fabricated ones.
    auto* startCharacter = dynamic_cast<CStartCharacterCollectLineFormatter*>(&formatter);
    bool volumeCleared = false;
    if (startCharacter && !startCharacter->GetSourceVolumePath().empty() &&
        (fabricated || !FXPath::IsDescendantOf(path, startCharacter->GetSourceVolumePath(), true))) {
        p.m_savedSourceVolumePath.assign(startCharacter->GetSourceVolumePath());
        startCharacter->SetSourceVolumePath(std::string());
        volumeCleared = true;
    }
    std::string line = formatter.GetFormattedLine(*folder);
    if (volumeCleared) startCharacter->SetSourceVolumePath(p.m_savedSourceVolumePath);
    CKoError error = p.WriteLine(line, fabricated ? std::string_view(kFabricatedTag) : std::string_view());
    if (error.IsError()) return error.Push(ZY_HERE);
    if (!folder->IsNotCounted()) ++p.m_countedFoldersWritten;
    if (p.m_delegatePaths) {
        if (p.m_checkIfAlreadyPresent) {
            error = p.m_checkIfAlreadyPresent->SetWritten(path);
            if (error.IsError()) return error.Push(ZY_HERE, "SetWritten failed, FullPath=[%s]", path.c_str());
        }
        return CKoError::Success();
    }
    error = p.m_paths->Insert(path, 1);
    if (error.IsError()) return error.Push(ZY_HERE, "Failed to record written folder, FullPath=[%s]", path.c_str());
    p.RememberWritten(path);
    return CKoError::Success();
}

CKoError CBasicCollectFile::RawWriteLine(const std::string& line) {
    CBasicCollectFilePrivate& p = *m_p;
    CKoError error = p.Write(line.data(), line.size());
    if (error.IsSuccess()) error = p.Write("\n", 1);
    if (error.IsError()) return error.Push(ZY_HERE);
    return CKoError::Success();
}

bool CBasicCollectFile::IsFolderAlreadyAdded(const std::string& path) {
    CBasicCollectFilePrivate& p = *m_p;
    // The parent an item shares with the item before it is answered without a trie search, in
    // less time than a clock read takes: it is counted without timing it.
    if (!p.m_delegatePaths && p.m_lastWrittenFolderValid && WithoutTrailingDelimiters(path) == p.m_lastWrittenFolder) {
        p.m_isFolderAlreadyAddedTime.Add(std::chrono::nanoseconds(0));
        return true;
    }
    CTimeCounter::Scoped timer(p.m_isFolderAlreadyAddedTime);
    if (p.m_delegatePaths) return p.m_checkIfAlreadyPresent && p.m_checkIfAlreadyPresent->IsWritten(path);
    unsigned int value = 0;
    if (p.m_paths->Search(path, value) != EPathCacheResult::FOUND_EXACT) return false;
    p.RememberWritten(path);
    return true;
}

CKoError CBasicCollectFile::ModifyAncestorMetadata(const std::shared_ptr<CCollectFileFolderEntry>& /*ancestor*/,
                                                   CCollectLineFormatter& formatter, bool& savedMountPoint,
                                                   std::string& savedTags) {
    if (auto* startCharacter = dynamic_cast<CStartCharacterCollectLineFormatter*>(&formatter)) {
        savedMountPoint = startCharacter->IsPathUnderMountPointSet();
        savedTags = startCharacter->GetTagsToBePreserved();
    }
    return CKoError::Success();
}

CKoError CBasicCollectFile::ResetModifiedMetadata(CCollectLineFormatter& formatter, bool& savedMountPoint,
                                                  std::string& savedTags) {
    if (auto* startCharacter = dynamic_cast<CStartCharacterCollectLineFormatter*>(&formatter)) {
        startCharacter->SetPathUnderMountPoint(savedMountPoint);
        startCharacter->SetTagsToBePreserved(savedTags);
    }
    return CKoError::Success();
}

CKoError CBasicCollectFile::ProcessFolderEntry(const CCollectFileEntry* /*entry*/,
                                               const std::shared_ptr<CCollectFileFolderEntry>& /*ancestor*/,
                                               CCollectLineFormatter& /*formatter*/) {
    return CKoError::Success();
}

CKoError CBasicCollectFile::ProcessCollectFileEntry(const std::string& /*path*/,
                                                    const std::shared_ptr<CCollectFileFolderEntry>& /*ancestor*/,
                                                    bool& /*flag*/) {
    return CKoError::Success();
}

long long CBasicCollectFile::GetCountedFoldersWritten() const { return m_p->m_countedFoldersWritten; }

long long CBasicCollectFile::GetCountedFilesWritten() const { return m_p->m_countedFilesWritten; }

size_t CBasicCollectFile::GetPathsMemoryUsed() const { return m_p->m_paths->GetMemoryUsed(); }

size_t CBasicCollectFile::GetPathsNotCountedMemoryUsed() const { return m_p->m_pathsNotCounted->GetMemoryUsed(); }

CKoError CBasicCollectFile::Close() {
    CKoError error = m_p->Close();
    if (error.IsError()) return error.Push(ZY_HERE);
    return CKoError::Success();
}

void CBasicCollectFile::LogTimeCounters() const {
    const CBasicCollectFilePrivate& p = *m_p;
    ZYLOG(1, "AddFile: %s", p.m_addFileTime.AsString().c_str());
    ZYLOG(1, "AddFolder: %s", p.m_addFolderTime.AsString().c_str());
    ZYLOG(1, "IsFolderAlreadyAdded: %s", p.m_isFolderAlreadyAddedTime.AsString().c_str());
}

void CBasicCollectFile::DumpDiagnosticData(CLineWriter* writer) const {
    const CBasicCollectFilePrivate& p = *m_p;
    p.m_paths->DumpDiagnosticData(writer, "Paths");
    // Marks are bit words: surface flag and affinity byte read best in hexadecimal.
    p.m_pathsNotCounted->DumpDiagnosticData(
        writer, "PathsNotCounted",
        [](const std::string& prefix, const std::string& indentation, const std::string& name,
           const CFolderMap::Node& node) {
            std::string line = prefix + ": " + indentation + " " + name;
            if (node.IsContentPresent()) {
                char value[16];
                std::snprintf(value, sizeof value, "0x%X", node.GetData());
                line.append("    ").append(value);
            }
            return line;
        });
}
