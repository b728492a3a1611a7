#include "scan/collect/FlatCollectFileSplit.h"

#include <algorithm>
#include <set>

#include "agent/KoBatchSort.h"
#include "core/BufferedWritableFile.h"
#include "core/LineReader.h"
#include "core/LogWriter.h"
#include "core/Path.h"
#include "scan/collect/CollectFilesInfo.h"
#include "FlatCollectSplitRecord.h"

namespace {

constexpr size_t kIoBuffer = 1 << 20;

FXEnv* Env() { return FXEnv::Current(); }

// True when `path` exists; a failure to tell is an error.
CKoError Exists(const std::string& path, bool& exists) {
    FXFileStat st;
    CKoError e = Env()->Stat(path, st);
    exists = e.IsSuccess();
    if (e.IsError() && !FXErrorUtil::IsWin32(e, ZyWin32::ERROR_FILE_NOT_FOUND)) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError RemoveIfThere(const std::string& path) {
    CKoError e = Env()->RemoveFile(path);
    if (e.IsError() && !FXErrorUtil::IsWin32(e, ZyWin32::ERROR_FILE_NOT_FOUND)) return e.Push(ZY_HERE);
    return CKoError::Success();
}

std::string FolderOf(const std::string& path) {
    std::string folder, name;
    if (FXPath::SplitParentPath(path, folder, name).IsError() || folder.empty()) return ".";
    return folder;
}

// Makes the creations and removals of `paths` durable, one folder sync per folder.
CKoError SyncFoldersOf(const std::vector<std::string>& paths) {
    std::set<std::string> folders;
    for (const std::string& p : paths) folders.insert(FolderOf(p));
    for (const std::string& f : folders) {
        CKoError e = Env()->SyncDir(f);
        if (e.IsError()) return e.Push(ZY_HERE);
    }
    return CKoError::Success();
}

void TrimLineEnd(std::string_view& line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
}

// The record beside `collect`; one that names another collect file (a moved job-results folder)
// is not acted on.
CKoError ReadRecord(const std::string& collect, CFlatCollectSplitRecord::SContent& content, bool& exists) {
    const std::string path = FlatCollectFileSplit::RecordPath(collect);
    CKoError e = CFlatCollectSplitRecord::Read(path, content, exists);
    if (e.IsError()) return e.Push(ZY_HERE);
    if (exists && !content.collectFile.empty() && content.collectFile != collect)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA,
                                       "The split record [%s] is for collect file [%s]", path.c_str(),
                                       content.collectFile.c_str());
    return CKoError::Success();
}

long long CeilDiv(long long a, long long b) { return b > 0 ? (a + b - 1) / b : 0; }

// Undoes a split whose record does not say "commit": the "_temp" file becomes the collect file
// again (replacing a first part), the other parts go, then the record. Every step may be repeated,
// so a crash in the middle leaves a state this undoes again.
CKoError RollBackFiles(const std::string& collect, const std::vector<std::string>& parts) {
    const std::string temp = FlatCollectFileSplit::TempPath(collect);
    bool tempThere = false;
    CKoError e = Exists(temp, tempThere);
    if (e.IsSuccess() && tempThere) {
        e = Env()->RenameFile(temp, collect);
        if (e.IsSuccess()) e = FXSyncParentDir(collect);
    }
    for (const std::string& part : parts) {
        if (e.IsError()) break;
        if (part != collect) e = RemoveIfThere(part);
    }
    if (e.IsSuccess()) e = SyncFoldersOf(parts);
    if (e.IsSuccess()) e = RemoveIfThere(FlatCollectFileSplit::RecordPath(collect));
    if (e.IsSuccess()) e = FXSyncParentDir(collect);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot roll back the split of collect file [%s]", collect.c_str());
    ZYLOG(1, "Split of collect file [%s] rolled back", collect.c_str());
    return CKoError::Success();
}

}  // namespace

// One split from the rename to "_temp" to the commit, and its roll-back.
class FlatCollectFileSplit::CSession {
public:
    explicit CSession(FlatCollectFileSplit& split)
        : m_split(split), m_callback(*split.m_callback), m_collect(split.m_collectFilePath),
          m_temp(TempPath(m_collect)), m_savedNumbers(split.m_fileNumbers), m_savedPartCount(split.m_parts.size()),
          m_savedNext(split.m_nextFileNumber) {}

    CKoError Run(bool bySize, long long linesPerFile, unsigned long long sizePerFile) {
        CKoError e = Begin();
        if (e.IsSuccess()) e = StartPart(m_split.m_collectNumber, m_collect);
        if (e.IsSuccess()) {
            ZYLOG(2, "Writing to [%s]", m_collect.c_str());
            m_callback.Reset();
            e = Copy(bySize, linesPerFile, sizePerFile);
        }
        if (e.IsSuccess()) e = FinishPart();
        if (e.IsSuccess()) e = Commit();
        if (e.IsError()) return Fail(e);
        m_split.m_outcome = SPLIT;
        ZYLOG(1, "Collect file #%d [%s] split into %zu files", m_split.m_collectNumber, m_collect.c_str(),
              m_created.size());
        // The parts stand: the "_temp" file is only in the way now (Complete retries).
        CKoError r = RemoveIfThere(m_temp);
        if (r.IsSuccess()) r = FXSyncParentDir(m_temp);
        if (r.IsError()) ZYLOG(-1, "Cannot remove [%s], error=%s", m_temp.c_str(), r.AsString().c_str());
        return CKoError::Success();
    }

private:
    // While a record exists, "_temp" is the split's own: a record of another split is left alone
    // (with its "_temp"), a stale "_temp" without a record goes before the record is made.
    CKoError Begin() {
        bool recordThere = false;
        CKoError e = Exists(RecordPath(m_collect), recordThere);
        if (e.IsSuccess() && recordThere)
            e = FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_ALREADY_EXISTS,
                                        "Collect file [%s] has a split in progress", m_collect.c_str());
        if (e.IsError()) {
            m_recordForeign = true;
            return e.Push(ZY_HERE);
        }
        e = RemoveIfThere(m_temp);
        if (e.IsSuccess()) e = FXSyncParentDir(m_temp);
        if (e.IsError()) {
            m_recordForeign = true;  // nothing made yet
            return e.Push(ZY_HERE, "Cannot remove a stale [%s]", m_temp.c_str());
        }
        e = m_record.Create(RecordPath(m_collect), m_collect);
        if (e.IsError()) {
            m_recordForeign = FXErrorUtil::IsWin32(e, ZyWin32::ERROR_ALREADY_EXISTS);
            return e.Push(ZY_HERE);
        }
        e = Env()->RenameFile(m_collect, m_temp);
        if (e.IsSuccess()) e = FXSyncParentDir(m_collect);
        if (e.IsError()) return e.Push(ZY_HERE, "Cannot rename collect file [%s] to [%s]", m_collect.c_str(), m_temp.c_str());
        e = m_reader.Open(m_temp, kIoBuffer);
        if (e.IsError()) return e.Push(ZY_HERE, "Can't open file [%s] for reading", m_temp.c_str());
        return CKoError::Success();
    }

    CKoError StartPart(int number, const std::string& path) {
        if (path.empty() || path == m_temp || path == RecordPath(m_collect) ||
            (number != m_split.m_collectNumber && path == m_collect) ||
            std::find(m_created.begin(), m_created.end(), path) != m_created.end())
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER,
                                           "Unusable name [%s] for part %d of collect file [%s]", path.c_str(), number,
                                           m_collect.c_str());
        CKoError e = m_record.AddPart(number, path);
        if (e.IsError()) return e.Push(ZY_HERE);
        m_created.push_back(path);
        e = m_part.Open(path, EWriteMode::Truncate);
        if (e.IsError()) return e.Push(ZY_HERE, "Can't open file [%s] for writing", path.c_str());
        m_partNumber = number;
        m_partPath = path;
        m_partSize = 0;
        m_partLines = 0;
        return CKoError::Success();
    }

    CKoError FinishPart() {
        ZYLOG(2, "Finishing file [%s] with %lldMb data and %lld lines.", m_partPath.c_str(),
              static_cast<long long>(m_partSize >> 20), m_partLines);
        CKoError e = m_part.Sync();
        if (e.IsSuccess()) e = m_part.Close();
        if (e.IsError()) return e.Push(ZY_HERE, "Unable to close collect file [%s]", m_partPath.c_str());
        SplitFileInfo info(m_partNumber, m_partSize, m_partLines, m_partPath);
        e = m_record.PartDone(info);
        if (e.IsError()) return e.Push(ZY_HERE);
        m_split.m_parts.push_back(std::move(info));
        return CKoError::Success();
    }

    CKoError NextPart() {
        CKoError e = FinishPart();
        if (e.IsError()) return e.Push(ZY_HERE);
        std::pair<int, int>& numbers = m_split.m_fileNumbers;
        const int number = m_split.m_nextFileNumber;
        if (numbers.first == 0) numbers.first = number;
        numbers.second = number;
        const std::string path = m_callback.GetSplitFileName(number);
        ++m_split.m_nextFileNumber;
        return StartPart(number, path);
    }

    CKoError Copy(bool bySize, long long linesPerFile, unsigned long long sizePerFile) {
        const bool trace = ZyLogEnabled(9);
        long long lineNumber = 0;
        for (;;) {
            std::string_view line;
            bool got = false;
            CKoError e = m_reader.Next(line, got);
            if (e.IsError()) return e.Push(ZY_HERE, "Cannot read [%s]", m_temp.c_str());
            if (!got) return CKoError::Success();
            ++lineNumber;
            TrimLineEnd(line);
            if (line.empty() || !m_callback.IsLineIncluded(line)) continue;
            const unsigned long long size = m_callback.GetItemSize(line);
            const bool due = bySize ? m_partSize > 0 && m_partSize + size >= sizePerFile : m_partLines >= linesPerFile;
            if (trace)
                ZYLOG(9, "Current Size:%llu file size:%lld currLine:%lld shouldSplit:%d", m_partSize,
                      static_cast<long long>(size), lineNumber, due);
            if (due && m_callback.CanSplitBefore(line)) {
                e = NextPart();
                if (e.IsError()) return e.Push(ZY_HERE);
            }
            e = m_part.AppendLine(line);
            if (e.IsError()) return e.Push(ZY_HERE, "Cannot write to [%s]", m_partPath.c_str());
            m_partSize += size;
            ++m_partLines;
        }
    }

    CKoError Commit() {
        CKoError e = SyncFoldersOf(m_created);
        if (e.IsError()) return e.Push(ZY_HERE);
        m_commitTried = true;
        e = m_record.Commit(m_created.size());
        if (e.IsError()) return e.Push(ZY_HERE);
        m_record.Close();
        return CKoError::Success();
    }

    // Rolls back, unless the commit may have reached the disk and cannot be taken back: then
    // everything stays for Recover, which goes by what the record says.
    CKoError Fail(CKoError cause) {
        m_part.Abandon();
        m_reader.Close();
        m_split.m_fileNumbers = m_savedNumbers;
        m_split.m_parts.resize(m_savedPartCount);
        m_split.m_nextFileNumber = m_savedNext;
        m_split.m_outcome = NOT_SPLIT;
        if (m_recordForeign) return cause;
        if (m_commitTried) {
            CKoError u = m_record.Uncommit();
            if (u.IsError()) {
                m_split.m_outcome = PENDING;
                ZYLOG(-1, "Split of collect file [%s] left for recovery: %s", m_collect.c_str(), u.AsString().c_str());
                return cause.Push(ZY_HERE, "Split of collect file [%s] interrupted; Recover finishes it", m_collect.c_str());
            }
        }
        m_record.Close();
        CKoError r = RollBackFiles(m_collect, m_created);
        if (r.IsError()) {
            m_split.m_outcome = PENDING;
            ZYLOG(-1, "Split of collect file [%s] left for recovery: %s", m_collect.c_str(), r.AsString().c_str());
            return cause.Push(ZY_HERE, "Split of collect file [%s] interrupted; Recover finishes it", m_collect.c_str());
        }
        return cause.Push(ZY_HERE, "Split of collect file [%s] failed; the collect file is unchanged", m_collect.c_str());
    }

    FlatCollectFileSplit& m_split;
    IFlatCollectFileSplitCallback& m_callback;
    const std::string m_collect, m_temp;
    const std::pair<int, int> m_savedNumbers;
    const size_t m_savedPartCount;
    const int m_savedNext;
    CFlatCollectSplitRecord m_record;
    bool m_recordForeign = false;  // no record of ours (another one was there): nothing to undo
    bool m_commitTried = false;
    FXLineReader m_reader;
    FXBufferedWritableFile m_part{kIoBuffer};
    std::vector<std::string> m_created;  // every part named in the record, in order
    int m_partNumber = 0;
    std::string m_partPath;
    unsigned long long m_partSize = 0;
    long long m_partLines = 0;
};

FlatCollectFileSplit::FlatCollectFileSplit(std::string collectFilePath, int collectNumber, int nextFileNumber,
                                           int filesPerStreamFactor, int flags, std::pair<int, int>& fileNumbers,
                                           std::vector<SplitFileInfo>& parts,
                                           std::shared_ptr<IFlatCollectFileSplitCallback> callback)
    : m_collectFilePath(std::move(collectFilePath)), m_collectNumber(collectNumber), m_nextFileNumber(nextFileNumber),
      m_filesPerStreamFactor(filesPerStreamFactor), m_flags(flags), m_fileNumbers(fileNumbers), m_parts(parts),
      m_callback(std::move(callback)) {}

FlatCollectFileSplit::~FlatCollectFileSplit() = default;

CKoError FlatCollectFileSplit::Run(int streams) {
    if (!m_callback)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "callback function is not set");
    SRecovery earlier;
    CKoError e = Recover(m_collectFilePath, earlier);
    if (e.IsError()) return e.Push(ZY_HERE);
    if (earlier.outcome == SPLIT)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_ALREADY_EXISTS,
                                       "An earlier split of collect file [%s] is not completed", m_collectFilePath.c_str());
    if (m_flags & SORT_FIRST) {
        e = Sort();
        if (e.IsError()) return e.Push(ZY_HERE);
    }
    e = Split(streams);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError FlatCollectFileSplit::Sort() {
    std::string folder, name;
    if (FXPath::SplitParentPath(m_collectFilePath, folder, name).IsError() || folder.empty()) {
        folder = ".";
        name = m_collectFilePath;
    }
    const std::string sorted = FXPath::Join(folder, "tmp_" + name);
    const std::string work = FXPath::Join(folder, "tmp_sort");
    ZYLOG(2, "sorting file '%s'.", m_collectFilePath.c_str());
    KoBatchSort ownSorter;
    IBatchSort* sorter = m_sorter ? m_sorter : &ownSorter;
    CKoError e = RemoveIfThere(sorted);
    if (e.IsSuccess()) e = sorter->Sort(m_collectFilePath, sorted, work);
    if (e.IsError()) {
        RemoveIfThere(sorted).IgnoreError();
        return e.Push(ZY_HERE, "Cannot sort collect file [%s]", m_collectFilePath.c_str());
    }
    ZYLOG(2, "file '%s' sorted.", m_collectFilePath.c_str());
    ZYLOG(2, "rename temporary file '%s' to '%s'", sorted.c_str(), m_collectFilePath.c_str());
    e = Env()->RenameFile(sorted, m_collectFilePath);
    if (e.IsSuccess()) e = FXSyncParentDir(m_collectFilePath);
    if (e.IsError()) {
        RemoveIfThere(sorted).IgnoreError();
        return e.Push(ZY_HERE, "Cannot replace collect file [%s] by its sorted lines", m_collectFilePath.c_str());
    }
    return CKoError::Success();
}

CKoError FlatCollectFileSplit::getCollectFileLiniCount(const std::string& path, long long& lines, long long& size,
                                                       long long& sizedLines) {
    lines = size = sizedLines = 0;
    FXLineReader reader;
    CKoError e = reader.Open(path, kIoBuffer);
    if (e.IsError()) return e.Push(ZY_HERE, "Can't open collect file [%s]", path.c_str());
    for (;;) {
        std::string_view line;
        bool got = false;
        e = reader.Next(line, got);
        if (e.IsError()) return e.Push(ZY_HERE, "Cannot read collect file [%s]", path.c_str());
        if (!got) return CKoError::Success();
        TrimLineEnd(line);
        if (line.empty() || (m_callback && !m_callback->IsLineIncluded(line))) continue;
        ++lines;
        const unsigned long long s = m_callback ? m_callback->GetItemSize(line) : 0;
        size += static_cast<long long>(s);
        if (s > 0) ++sizedLines;
    }
}

CKoError FlatCollectFileSplit::Split(int streams) {
    m_outcome = NOT_SPLIT;
    if (!m_callback)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "callback function is not set");
    const long long files = static_cast<long long>(m_filesPerStreamFactor) * std::max(streams, 1);
    if (files <= 1) {
        ZYLOG(2, "Collect file #%d is not split for %lld file", m_collectNumber, files);
        return CKoError::Success();
    }
    long long lines = 0, size = 0, sizedLines = 0;
    CKoError e = getCollectFileLiniCount(m_collectFilePath, lines, size, sizedLines);
    if (e.IsError()) return e.Push(ZY_HERE);
    if (lines == 0) {
        ZYLOG(2, "Collect file [%s] is empty", m_collectFilePath.c_str());
        return CKoError::Success();
    }
    if (lines == 1) {
        ZYLOG(2, "Collect file [%s] has only one item.", m_collectFilePath.c_str());
        return CKoError::Success();
    }
    bool bySize = (m_flags & SPLIT_BY_SIZE) != 0;
    if (bySize && CeilDiv(lines * 4, 5) >= sizedLines) {
        ZYLOG(1, "Number of items in collect #%d with size is too low (%ld / %ld). Will not use size to split file.",
              m_collectNumber, static_cast<long>(sizedLines), static_cast<long>(lines));
        bySize = false;
    }
    const long long linesPerFile = std::max(1LL, CeilDiv(lines, files));
    const unsigned long long sizePerFile = size > 0 ? static_cast<unsigned long long>(CeilDiv(size, files)) : 0;
    ZYLOG(2, "Data size of collect file #%d = %llu (lines=%lld), SizePerCollectFile = %llu linesPerFile=%ld",
          m_collectNumber, static_cast<unsigned long long>(size), lines, sizePerFile, static_cast<long>(linesPerFile));
    if (!m_callback->ShouldSplitAlways() && linesPerFile == 1 && (size == 0 || sizePerFile == 0)) {
        ZYLOG(1, "The content of collect file #%d is too small. Will not split. (linesPerFile:%d totalOfFileSize:%d "
                 "sizePerFile:%d)",
              m_collectNumber, static_cast<int>(linesPerFile), static_cast<int>(size), static_cast<int>(sizePerFile));
        return CKoError::Success();
    }
    ZYLOG(1, "Will attempt split collect file [%s] into %d files", m_collectFilePath.c_str(), static_cast<int>(files));
    CSession session(*this);
    e = session.Run(bySize, linesPerFile, sizePerFile);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError FlatCollectFileSplit::Recover(const std::string& collectFilePath, SRecovery& out) {
    out = SRecovery();
    CFlatCollectSplitRecord::SContent content;
    bool exists = false;
    CKoError e = ReadRecord(collectFilePath, content, exists);
    if (e.IsError()) return e.Push(ZY_HERE);
    if (!exists) return CKoError::Success();
    if (content.committed) {
        e = RemoveIfThere(TempPath(collectFilePath));
        if (e.IsSuccess()) e = FXSyncParentDir(collectFilePath);
        if (e.IsError()) ZYLOG(-1, "Cannot remove [%s], error=%s", TempPath(collectFilePath).c_str(), e.AsString().c_str());
        out.outcome = SPLIT;
        out.parts = std::move(content.done);
        ZYLOG(1, "Split of collect file [%s] found complete with %zu parts", collectFilePath.c_str(), out.parts.size());
        return CKoError::Success();
    }
    std::vector<std::string> parts;
    for (const auto& p : content.parts) parts.push_back(p.second);
    e = RollBackFiles(collectFilePath, parts);
    if (e.IsError()) {
        out.outcome = PENDING;
        return e.Push(ZY_HERE);
    }
    out.outcome = NOT_SPLIT;
    return CKoError::Success();
}

CKoError FlatCollectFileSplit::Complete(const std::string& collectFilePath) {
    CFlatCollectSplitRecord::SContent content;
    bool exists = false;
    CKoError e = ReadRecord(collectFilePath, content, exists);
    if (e.IsError()) return e.Push(ZY_HERE);
    if (!exists) return CKoError::Success();
    if (!content.committed)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER,
                                       "The split of collect file [%s] is not complete: recover it first",
                                       collectFilePath.c_str());
    e = RemoveIfThere(TempPath(collectFilePath));
    if (e.IsSuccess()) e = FXSyncParentDir(collectFilePath);
    if (e.IsSuccess()) e = RemoveIfThere(RecordPath(collectFilePath));
    if (e.IsSuccess()) e = FXSyncParentDir(collectFilePath);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot complete the split of collect file [%s]", collectFilePath.c_str());
    return CKoError::Success();
}

CKoError FlatCollectFileSplit::ApplyToCollectFilesInfo(CCollectFilesInfo& info, const std::string& collectFilePath,
                                                       const std::vector<SplitFileInfo>& parts) {
    if (parts.size() <= 1) return CKoError::Success();
    std::vector<std::string> named;
    info.GetAllCollects(named);
    std::set<std::string> names;
    for (const SplitFileInfo& p : parts) {
        if (p.path != collectFilePath && std::find(named.begin(), named.end(), p.path) != named.end())
            return CKoError::Success();  // applied before
        names.insert(p.path);
    }
    CKoError e = info.ReplaceCollectWithParts(collectFilePath, names);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}
