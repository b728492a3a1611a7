#include "scan/jobstate/ScanCommitJobs.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "SequentialLineReader.h"
#include "agent/JobClient.h"
#include "core/LogWriter.h"
#include "core/Path.h"
#include "core/StringUtil.h"
#include "scan/jobstate/ExtentNameConverter.h"
#include "scan/jobstate/JobFiles.h"

namespace {

// The longest collect line a commit copies; a longer one means a damaged file.
constexpr size_t kMaxCollectLine = 64ull << 20;
// Restart map lines are short; this bounds what a damaged one costs.
constexpr size_t kMaxRestartMapLine = 1 << 20;
constexpr size_t kWriteBuffer = 1 << 20;

constexpr const char* kCommitTempName = "CommitTemp.zyf";
constexpr const char* kFailedFilesRetryCollect = "FailedFileRetryCollect.zyf";

CKoError LogOnlyRemove(const std::string& path) {
    CKoError e = CJobFiles::RemoveIfPresent(path);
    if (e.IsError()) ZYLOG_ERROR("Failed to delete file, FileName=[%s], error=%s", path.c_str(), e.AsString().c_str());
    return CKoError::Success();
}

// "%d %ld": an int, blanks, a long; what follows is ignored. False for anything else.
bool ParseRestartMapLine(const std::string& line, int& id, int64_t& offset) {
    const char* p = line.c_str();
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(p, &end, 10);
    if (end == p || errno == ERANGE || value < INT_MIN || value > INT_MAX) return false;
    if (*end != ' ' && *end != '\t') return false;
    p = end;
    errno = 0;
    long long off = std::strtoll(p, &end, 10);
    if (end == p || errno == ERANGE) return false;
    id = static_cast<int>(value);
    offset = off;
    return true;
}

// Where copied lines go: a seam file (buffered) or a stdio stream.
class CLineSink {
public:
    virtual ~CLineSink() = default;
    virtual CKoError Write(std::string_view line) = 0;
    virtual CKoError Flush() = 0;
};

class CWritableFileSink : public CLineSink {
public:
    explicit CWritableFileSink(FXWritableFile& file) : m_file(file) { m_buffer.reserve(kWriteBuffer + 4096); }
    CKoError Write(std::string_view line) override {
        m_buffer.append(line.data(), line.size());
        m_buffer += '\n';
        return m_buffer.size() >= kWriteBuffer ? Flush() : CKoError::Success();
    }
    CKoError Flush() override {
        if (m_buffer.empty()) return CKoError::Success();
        CKoError e = m_file.Append(m_buffer);
        m_buffer.clear();
        return e;
    }

private:
    FXWritableFile& m_file;
    std::string m_buffer;
};

class CStreamSink : public CLineSink {
public:
    explicit CStreamSink(FILE* file) : m_file(file) {}
    CKoError Write(std::string_view line) override {
        if (std::fwrite(line.data(), 1, line.size(), m_file) != line.size() || std::fputc('\n', m_file) == EOF)
            return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "Failed to write to file");
        return CKoError::Success();
    }
    CKoError Flush() override {
        if (std::fflush(m_file) != 0) return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "Failed to write to file");
        return CKoError::Success();
    }

private:
    FILE* m_file;
};

}  // namespace

class ScanCommitJobsPrivate {
public:
    using Filter = bool (ScanCommitJobsPrivate::*)(const std::string&) const;

    std::string m_serverName;
    int64_t m_currentJobId = 0;
    int64_t m_commitJobOrderKey = 0;
    int64_t m_synthFullOrderKey = 0;
    int64_t m_commitJobId = 0;
    long m_backupLevel = 0;
    bool m_carryForwardForSynthFull = false;
    std::string m_folder;
    EDirChangeMethod m_dirChangeMethod;
    std::string m_dirChangeContainerPath;
    std::string m_dirChangeFilePath;
    std::string m_commitTempPath;
    std::string m_commitCollectPath;
    std::string m_commitDirChangeDbPath;
    std::string m_commitDirChangeFilePath;
    std::string m_restartString;
    std::string m_collectPrefixPath;
    std::string m_extentEligiblePrefixPath;
    std::string m_extentNumPrefixPath;
    std::string m_restartMapPath;
    std::string m_extentRestartMapPath;
    std::string m_extentContainerCollectPath;
    bool m_convertExtentEntries = false;
    bool m_extentBackup = false;
    std::map<int, CRestartMapFileEntry> m_restartEntries;

    bool IsFull() const {
        return m_backupLevel == 1 || m_backupLevel == 64 || m_backupLevel == 128 || m_backupLevel == 16384;
    }
    const char* TotOrInc() const { return IsFull() ? "Tot" : "Inc"; }
    std::string InFolder(const std::string& name) const { return FXPath::Join(m_folder, name); }

    CKoError CreateCommitFile();
    CKoError CleanupAndScanForCommitFiles(bool& found);
    CKoError CleanupAndScanForFile(const std::string& pattern, const std::string& ownPath, bool& found);
    void Cleanup(const std::string& pattern);
    CKoError CommitDirChange();
    CKoError FindOffsetDataFromRestartMapFile();
    CKoError ReadRestartMap(const std::string& path);
    CKoError GetRestartString();
    CKoError ParseRestartString(const std::string& restartString);
    CKoError FurtherParse(const std::string& segment);
    CKoError CopyTails(CLineSink& sink, int64_t& total);
    CKoError CopyWhole(const std::string& path, CLineSink& sink, int64_t& total, Filter filter);
    CKoError CopyDirChange(const std::string& from, const std::string& to);
    CKoError CarryForwardCollectsForCommittedSynthFull();
    CKoError FindAndRenameFile(const std::string& pattern, const std::string& fullPrefix,
                               const std::string& incPrefix);
    CKoError AppendThisFileToThat(CLineSink& to, FXSequentialFile& from, int64_t& count, Filter filter);
    CKoError AppendCommitFile(CLineSink& sink, const std::string& targetName);

    void PreProcessEntry(std::string& line) {
        if (m_convertExtentEntries) ScanCommitJobs::ConvertFileExtentEntryToRegularCollectEntry(line);
    }
    bool FilterEntry(const std::string&) const { return false; }
    void PostProcessEntry(const std::string&) {}
    bool IsIIMEntryExisted(const std::string& line) const;
};

// ---------------------------------------------------------------------------------------------
// Building the commit files

CKoError ScanCommitJobsPrivate::CreateCommitFile() {
    bool found = false;
    CKoError e = CleanupAndScanForCommitFiles(found);
    if (e.IsError()) ZYLOG_ERROR("Failed to delete old commit files, error=%s", e.AsString().c_str());
    if (found) {
        if (m_dirChangeMethod.IsSelected(EDirChangeMethod::DIRCHANGE_METHOD_CONTAINER))
            ZYLOG(1, "Using existing commit files, CommitCollectFile=[%s], CommitDirChangeContainer=[%s]",
                  m_commitCollectPath.c_str(), m_commitDirChangeDbPath.c_str());
        else
            ZYLOG(1, "Using existing commit files, CommitCollectFile=[%s], CommitDirChangeFile=[%s]",
                  m_commitCollectPath.c_str(), m_commitDirChangeFilePath.c_str());
        return CKoError::Success();
    }

    e = CarryForwardCollectsForCommittedSynthFull();
    if (e.IsError()) return e.Push(ZY_HERE);
    e = CommitDirChange();
    if (e.IsError()) return e.Push(ZY_HERE);
    e = FindOffsetDataFromRestartMapFile();
    if (e.IsError()) return e.Push(ZY_HERE, "Failed to read offset info from CollectMap file");
    e = GetRestartString();
    if (e.IsError()) return e.Push(ZY_HERE, "Failed to get restart string");
    e = ParseRestartString(m_restartString);
    if (e.IsError()) return e.Push(ZY_HERE, "Failed to parse restart string, RestartString=[%s]", m_restartString.c_str());

    FXEnv* env = FXEnv::Current();
    std::unique_ptr<FXWritableFile> temp;
    e = env->NewWritableFile(m_commitTempPath, EWriteMode::Truncate, temp);
    if (e.IsError()) return e.Push(ZY_HERE, "Failed to open file [%s] for writing", m_commitTempPath.c_str());
    CWritableFileSink sink(*temp);
    int64_t total = 0;
    e = CopyTails(sink, total);
    if (e.IsSuccess() && m_extentBackup && !m_extentContainerCollectPath.empty()) {
        ZYLOG(1, "Processing Container collect from DB [%s]", m_extentContainerCollectPath.c_str());
        e = CopyWhole(m_extentContainerCollectPath, sink, total, &ScanCommitJobsPrivate::FilterEntry);
    }
    m_convertExtentEntries = false;
    const std::string retry = InFolder(kFailedFilesRetryCollect);
    if (e.IsSuccess() && CJobFiles::Exists(retry)) {
        ZYLOG(1, "Failed files retry collect found in JR, appending failed files from failed files retry collect");
        e = CopyWhole(retry, sink, total, nullptr);
    }
    // The commit collect file takes its name only once it is complete and on disk.
    if (e.IsSuccess()) e = sink.Flush();
    if (e.IsSuccess()) e = temp->Sync();
    if (e.IsSuccess()) e = temp->Close();
    temp.reset();
    if (e.IsError()) {
        env->RemoveFile(m_commitTempPath).IgnoreError();
        return e.Push(ZY_HERE);
    }

    if (m_dirChangeMethod.IsSelected(EDirChangeMethod::DIRCHANGE_METHOD_CONTAINER))
        e = CopyDirChange(m_dirChangeContainerPath, m_commitDirChangeDbPath);
    else if (m_dirChangeMethod.IsSelected(EDirChangeMethod::DIRCHANGE_METHOD_FILE))
        e = CopyDirChange(m_dirChangeFilePath, m_commitDirChangeFilePath);
    if (e.IsError()) return e.Push(ZY_HERE, "CopyDirChange failed, unable to process commit request");

    e = env->RenameFile(m_commitTempPath, m_commitCollectPath);
    if (e.IsSuccess()) e = env->SyncDir(m_folder);
    if (e.IsError())
        return e.Push(ZY_HERE, "Failed to rename file [%s] to [%s]", m_commitTempPath.c_str(), m_commitCollectPath.c_str());
    ZYLOG(1, "%lld uncommitted file names extracted from collect files and stored in [%s]", static_cast<long long>(total),
          m_commitCollectPath.c_str());
    return CKoError::Success();
}

CKoError ScanCommitJobsPrivate::CopyTails(CLineSink& sink, int64_t& total) {
    FXEnv* env = FXEnv::Current();
    for (const auto& [id, entry] : m_restartEntries) {
        int64_t offset = entry.GetRestartOffset();
        if (offset == ScanCommitJobs::kSkipFile) continue;
        if (offset == ScanCommitJobs::kWholeFile || offset < 0) offset = 0;
        const std::string& name = entry.GetCollectFilePath();
        ZYLOG(2, "CollectFile=[%d], Name=[%s], Offset=[%lld]", id, name.c_str(), static_cast<long long>(offset));
        m_convertExtentEntries = name.find(m_extentNumPrefixPath) != std::string::npos;
        std::unique_ptr<FXSequentialFile> file;
        CKoError e = env->NewSequentialFile(name, file);
        if (e.IsError()) return e.Push(ZY_HERE, "Failed to open file, FileName=[%s]", name.c_str());
        e = file->Skip(static_cast<uint64_t>(offset));
        if (e.IsError())
            return e.Push(ZY_HERE, "Failed to seek, Offset=[%lld], FileName=[%s], error=%d", static_cast<long long>(offset),
                          name.c_str(), static_cast<int>(e.GetErrorCode()));
        int64_t count = 0;
        e = AppendThisFileToThat(sink, *file, count, &ScanCommitJobsPrivate::FilterEntry);
        if (e.IsError()) return e.Push(ZY_HERE, "Failed to append file [%s] to [%s]", name.c_str(), m_commitTempPath.c_str());
        total += count;
    }
    return CKoError::Success();
}

CKoError ScanCommitJobsPrivate::CopyWhole(const std::string& path, CLineSink& sink, int64_t& total, Filter filter) {
    std::unique_ptr<FXSequentialFile> file;
    CKoError e = FXEnv::Current()->NewSequentialFile(path, file);
    if (e.IsError()) return e.Push(ZY_HERE, "Failed to open file, FileName=[%s]", path.c_str());
    int64_t count = 0;
    e = AppendThisFileToThat(sink, *file, count, filter);
    if (e.IsError()) return e.Push(ZY_HERE, "Failed to append file [%s] to [%s]", path.c_str(), m_commitTempPath.c_str());
    total += count;
    return CKoError::Success();
}

CKoError ScanCommitJobsPrivate::AppendThisFileToThat(CLineSink& to, FXSequentialFile& from, int64_t& count,
                                                     Filter filter) {
    count = 0;
    CSequentialLineReader reader(from, kMaxCollectLine);
    std::string line;
    for (;;) {
        std::string_view view;
        bool got = false;
        CKoError e = reader.Next(view, got);
        if (e.IsError()) return e.Push(ZY_HERE, "Failed to read file");
        if (!got) return CKoError::Success();
        while (!view.empty() && (view.back() == '\r' || view.back() == '\n')) view.remove_suffix(1);
        if (view.empty() || view == "/" || view == "\\") continue;
        line.assign(view.data(), view.size());
        PreProcessEntry(line);
        if (filter && (this->*filter)(line)) continue;
        e = to.Write(line);
        if (e.IsError()) return e.Push(ZY_HERE, "Failed to write to file");
        PostProcessEntry(line);
        ++count;
    }
}

CKoError ScanCommitJobsPrivate::CleanupAndScanForCommitFiles(bool& found) {
    found = false;
    LogOnlyRemove(m_commitTempPath).IgnoreError();
    bool collectFound = false;
    CKoError e = CleanupAndScanForFile("Commit_J*_Collect.zyf", m_commitCollectPath, collectFound);
    if (e.IsError()) return e.Push(ZY_HERE);
    bool dbFound = false, fileFound = false;
    if (m_dirChangeMethod.IsSelected(EDirChangeMethod::DIRCHANGE_METHOD_CONTAINER)) {
        e = CleanupAndScanForFile("Commit_J*_DirChange.db", m_commitDirChangeDbPath, dbFound);
        if (e.IsError()) return e.Push(ZY_HERE);
        Cleanup("Commit_J*_DirChange.zyf");
        if (collectFound && dbFound) {
            found = true;
            return CKoError::Success();
        }
    } else if (m_dirChangeMethod.IsSelected(EDirChangeMethod::DIRCHANGE_METHOD_FILE)) {
        e = CleanupAndScanForFile("Commit_J*_DirChange.zyf", m_commitDirChangeFilePath, fileFound);
        if (e.IsError()) return e.Push(ZY_HERE);
        Cleanup("Commit_J*_DirChange.db");
        if (collectFound && fileFound) {
            found = true;
            return CKoError::Success();
        }
    }
    // An incomplete set is rebuilt from the start.
    if (collectFound) LogOnlyRemove(m_commitCollectPath).IgnoreError();
    if (dbFound) LogOnlyRemove(m_commitDirChangeDbPath).IgnoreError();
    if (fileFound) LogOnlyRemove(m_commitDirChangeFilePath).IgnoreError();
    return CKoError::Success();
}

CKoError ScanCommitJobsPrivate::CleanupAndScanForFile(const std::string& pattern, const std::string& ownPath,
                                                      bool& found) {
    found = false;
    std::vector<std::string> names;
    CKoError e = CJobFiles::ListMatching(m_folder, pattern, names);
    if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_FILE_NOT_FOUND)) return CKoError::Success();
    if (e.IsError())
        return e.Push(ZY_HERE, "Folder iteration failed, SearchFolder=[%s], SearchFilePattern=[%s]", m_folder.c_str(),
                      pattern.c_str());
    for (const std::string& name : names) {
        const std::string path = InFolder(name);
        if (FXPath::IsSamePathAs(path, ownPath)) {
            found = true;
            continue;
        }
        ZYLOG(1, "Deleting old file, FileName=[%s]", path.c_str());
        LogOnlyRemove(path).IgnoreError();
    }
    return CKoError::Success();
}

void ScanCommitJobsPrivate::Cleanup(const std::string& pattern) {
    std::vector<std::string> names;
    if (CJobFiles::ListMatching(m_folder, pattern, names).IsError()) return;
    for (const std::string& name : names) {
        ZYLOG(1, "Deleting old file, FileName=[%s]", InFolder(name).c_str());
        LogOnlyRemove(InFolder(name)).IgnoreError();
    }
}

CKoError ScanCommitJobsPrivate::CommitDirChange() {
    std::string pending, target;
    if (m_dirChangeMethod.IsSelected(EDirChangeMethod::DIRCHANGE_METHOD_CONTAINER)) {
        pending = InFolder("DirChangePending.db");
        target = m_dirChangeContainerPath;
    } else if (m_dirChangeMethod.IsSelected(EDirChangeMethod::DIRCHANGE_METHOD_FILE)) {
        pending = InFolder("DCTmp.zyf");
        target = m_dirChangeFilePath;
    } else {
        return CKoError::Success();
    }
    if (!CJobFiles::Exists(pending) || CJobFiles::Exists(target)) return CKoError::Success();
    ZYLOG(1, "[%s] found, but previous DirChange [%s] is missing; The previous job might have been committed when pending",
          pending.c_str(), target.c_str());
    CKoError e = FXEnv::Current()->RenameFile(pending, target);
    if (e.IsSuccess()) e = FXSyncParentDir(target);
    if (e.IsError()) return e.Push(ZY_HERE, "Failed to rename file [%s] to [%s]", pending.c_str(), target.c_str());
    ZYLOG(1, "Renamed [%s] to [%s]; Job will continue", pending.c_str(), target.c_str());
    return CKoError::Success();
}

CKoError ScanCommitJobsPrivate::CopyDirChange(const std::string& from, const std::string& to) {
    CKoError e = CJobFiles::RemoveIfPresent(to);
    if (e.IsError()) ZYLOG_ERROR("RemoveFile failed, Name=[%s], error=%s", to.c_str(), e.AsString().c_str());
    e = CJobFiles::CopyDurably(from, to);
    if (e.IsError())
        return e.Push(ZY_HERE, "ZYCopyFile failed, FromName=[%s], ToName=[%s], error=%s", from.c_str(), to.c_str(),
                      e.GetMessage().c_str());
    ZYLOG(1, "DirChange copied, From=[%s], To=[%s]", from.c_str(), to.c_str());
    return CKoError::Success();
}

// ---------------------------------------------------------------------------------------------
// Restart offsets

CKoError ScanCommitJobsPrivate::FindOffsetDataFromRestartMapFile() {
    CKoError e = ReadRestartMap(m_restartMapPath);
    if (e.IsError()) return e.Push(ZY_HERE);
    if (m_extentBackup && CJobFiles::Exists(m_extentRestartMapPath)) {
        e = ReadRestartMap(m_extentRestartMapPath);
        if (e.IsError()) return e.Push(ZY_HERE);
    }
    return CKoError::Success();
}

CKoError ScanCommitJobsPrivate::ReadRestartMap(const std::string& path) {
    ZYLOG(2, "Processing [%s]", path.c_str());
    std::unique_ptr<FXSequentialFile> file;
    CKoError e = FXEnv::Current()->NewSequentialFile(path, file);
    if (e.IsError()) {
        ZYLOG_ERROR("Failed to open file %s for reading, error=%s", path.c_str(), e.AsString().c_str());
        return e.Push(ZY_HERE, "Failed to open file %s for reading", path.c_str());
    }
    CSequentialLineReader reader(*file, kMaxRestartMapLine);
    std::string line;
    for (;;) {
        std::string_view view;
        bool got = false;
        e = reader.Next(view, got);
        if (e.IsError()) return e.Push(ZY_HERE, "Failed to read file, FileName=[%s]", path.c_str());
        if (!got) return CKoError::Success();
        line.assign(view.data(), view.size());
        int id = 0;
        int64_t offset = 0;
        if (!ParseRestartMapLine(line, id, offset)) continue;
        ZYLOG(7, "RestartMap file, CollectId=%d, Offset=%lld", id, static_cast<long long>(offset));
        if (offset == -1)
            offset = ScanCommitJobs::kSkipFile;
        else if (offset == 0)
            offset = ScanCommitJobs::kWholeFile;
        const std::string name = FXString::Format("%s%d.zyf", m_collectPrefixPath.c_str(), id);
        m_restartEntries.emplace(id, CRestartMapFileEntry(name, offset));
    }
}

CKoError ScanCommitJobsPrivate::GetRestartString() {
    const long long commitJobId = static_cast<long long>(m_commitJobId);
    // This agent always runs on a valid client platform.
    constexpr int kClientPlatform = 4;
    ZYBkpJobClient client;
    CKoError e = client.init(m_commitJobId, m_serverName, kClientPlatform);
    if (e.IsError()) return e.Push(ZY_HERE, "Failed to Init Job Client for committed job, CommitJobId=[%lld]", commitJobId);
    e = client.getRestartString(0, m_restartString);
    if (e.IsError())
        return e.Push(ZY_HERE, "Failed to get the restart string for the committed job, CommitJobId=[%lld]", commitJobId);
    if (m_restartString.empty())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NO_DATA,
                                       "Restart string is empty for the committed job, CommitJobId=[%lld]", commitJobId);
    ZYLOG(1, "RestartString=[%s]", m_restartString.c_str());
    return CKoError::Success();
}

CKoError ScanCommitJobsPrivate::ParseRestartString(const std::string& restartString) {
    std::string text = restartString;
    size_t colon = text.find(':');
    if (colon != std::string::npos) text.erase(colon);
    m_restartString = text;
    static constexpr std::string_view kMarker = "-o ";
    size_t pos = text.find(kMarker);
    while (pos != std::string::npos) {
        size_t begin = pos + kMarker.size();
        size_t next = text.find(kMarker, begin);
        CKoError e = FurtherParse(text.substr(begin, next == std::string::npos ? std::string::npos : next - begin));
        if (e.IsError()) return e.Push(ZY_HERE);
        pos = next;
    }
    for (const auto& [id, entry] : m_restartEntries)
        ZYLOG(2, "Restart string, CollectId=[%d], RestartOffset=[%lld]", id,
              static_cast<long long>(entry.GetRestartOffset()));
    return CKoError::Success();
}

CKoError ScanCommitJobsPrivate::FurtherParse(const std::string& segment) {
    std::vector<std::string> items;
    FXString::Split(segment, "@", items);
    for (size_t i = 0; i < items.size(); ++i) {
        std::string item = items[i];
        FXString::TrimWhiteSpace(item);
        std::vector<std::string> fields;
        FXString::Split(item, "|", fields);
        if (fields.size() < 2)
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "SearchString=[%s], Item=[%llu]",
                                           segment.c_str(), static_cast<unsigned long long>(i));
        int id = static_cast<int>(std::strtol(fields[0].c_str(), nullptr, 0));
        int64_t offset = std::strtoll(fields[1].c_str(), nullptr, 0);
        if (offset == -1) offset = ScanCommitJobs::kSkipFile;
        auto it = m_restartEntries.find(id);
        if (it == m_restartEntries.end()) {
            ZYLOG(1, "Ignoring the restart offset for the collect file id [%d] as it belongs to non-data collect file", id);
            continue;
        }
        it->second.SetRestartOffset(offset);
    }
    return CKoError::Success();
}

// ---------------------------------------------------------------------------------------------
// The uncommitted lines

bool ScanCommitJobsPrivate::IsIIMEntryExisted(const std::string& line) const {
    if (line.size() < 4 || (line[2] != 'd' && line[2] != 'D')) return false;
    // A line without start characters begins with its path, so "/dd/x" is a path, never the
    // deletion of "/x".
    if (line[0] == '/' || line[1] == '/') return false;
    size_t bar = line.find('|', 3);
    std::string path = line.substr(3, bar == std::string::npos ? std::string::npos : bar - 3);
    return !path.empty() && CJobFiles::Exists(path);
}

CKoError ScanCommitJobsPrivate::AppendCommitFile(CLineSink& sink, const std::string& targetName) {
    std::unique_ptr<FXSequentialFile> file;
    CKoError e = FXEnv::Current()->NewSequentialFile(m_commitCollectPath, file);
    if (e.IsError()) return e.Push(ZY_HERE, "Failed to open file [%s] for reading", m_commitCollectPath.c_str());
    int64_t count = 0;
    e = AppendThisFileToThat(sink, *file, count, &ScanCommitJobsPrivate::IsIIMEntryExisted);
    if (e.IsSuccess()) e = sink.Flush();
    if (e.IsError())
        return e.Push(ZY_HERE, "Failed to append commit file [%s] to file [%s]", m_commitCollectPath.c_str(),
                      targetName.c_str());
    ZYLOG(1, "%lld uncommitted file names appended to [%s]", static_cast<long long>(count), targetName.c_str());
    return CKoError::Success();
}

// ---------------------------------------------------------------------------------------------
// Synthetic full

CKoError ScanCommitJobsPrivate::CarryForwardCollectsForCommittedSynthFull() {
    if (!m_carryForwardForSynthFull || m_backupLevel == 1 || m_commitJobOrderKey > m_synthFullOrderKey)
        return CKoError::Success();
    ZYLOG(1, "The job before the SynthFull was committed, carrying forward the collect files from this job as the full "
             "collect for the new cycle");
    std::vector<std::string> names;
    CKoError e = CJobFiles::ListMatching(m_folder, "CollectInc*.zyf", names);
    if (e.IsError() && !FXErrorUtil::IsWin32(e, ZyWin32::ERROR_FILE_NOT_FOUND)) return e.Push(ZY_HERE);
    for (const std::string& name : names) {
        // Only the name changes: a folder whose path holds the prefix stays what it is.
        std::string full = name;
        FXString::ReplaceAll(full, "CollectInc", "CollectTot");
        const std::string from = InFolder(name), to = InFolder(full);
        ZYLOG(1, "afterSynth Copying collect file %s to %s", from.c_str(), to.c_str());
        e = CJobFiles::CopyDurably(from, to);
        if (e.IsError())
            return e.Push(ZY_HERE, "Failed to copy %s to %s, error=%s", from.c_str(), to.c_str(), e.GetMessage().c_str());
    }
    std::string from = InFolder("restartMapInc"), to = InFolder("restartMapTot");
    ZYLOG(1, "afterSynth copying mapfile [%s] to [%s]", from.c_str(), to.c_str());
    e = CJobFiles::CopyDurably(from, to);
    if (e.IsError())
        return e.Push(ZY_HERE, "Failed to copy [%s] to [%s], error=%s", from.c_str(), to.c_str(), e.GetMessage().c_str());
    if (!m_extentBackup) return CKoError::Success();

    from = InFolder("FileExtentrestartFileInc");
    to = InFolder("FileExtentrestartFileTot");
    if (CJobFiles::Exists(from)) {
        e = CJobFiles::CopyDurably(from, to);
        if (e.IsError()) return e.Push(ZY_HERE, "Failed to copy [%s] to [%s]", from.c_str(), to.c_str());
    }
    const std::string incDat = InFolder("FileExtentTableInc.dat"), incIdx = InFolder("FileExtentTableInc.idx");
    if (CJobFiles::Exists(incDat) && CJobFiles::Exists(incIdx)) {
        const std::pair<std::string, std::string> copies[] = {{incDat, InFolder("FileExtentTableTot.dat")},
                                                              {incIdx, InFolder("FileExtentTableTot.idx")}};
        for (const auto& [src, dst] : copies) {
            ZYLOG(1, "afterSynth copying [%s] to [%s]", src.c_str(), dst.c_str());
            e = CJobFiles::CopyDurably(src, dst);
            if (e.IsError()) return e.Push(ZY_HERE, "Failed to copy [%s] to [%s]", src.c_str(), dst.c_str());
        }
    }
    return CKoError::Success();
}

CKoError ScanCommitJobsPrivate::FindAndRenameFile(const std::string& pattern, const std::string& fullPrefix,
                                                  const std::string& incPrefix) {
    std::vector<std::string> names;
    CKoError e = CJobFiles::ListMatching(m_folder, pattern, names);
    if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_FILE_NOT_FOUND)) return CKoError::Success();
    if (e.IsError()) return e.Push(ZY_HERE);
    for (const std::string& name : names) {
        std::string full = name;
        FXString::ReplaceAll(full, incPrefix, fullPrefix);
        const std::string from = InFolder(name), to = InFolder(full);
        ZYLOG(1, "afterSynth Copying collect file [%s] to [%s]", from.c_str(), to.c_str());
        e = CJobFiles::CopyDurably(from, to);
        if (e.IsError())
            return e.Push(ZY_HERE, "Failed to copy [%s] to [%s], error=%s", from.c_str(), to.c_str(),
                          e.GetMessage().c_str());
    }
    return CKoError::Success();
}

// ---------------------------------------------------------------------------------------------

ScanCommitJobs::ScanCommitJobs(const std::string& serverName, int64_t currentJobId, int64_t commitJobOrderKey,
                               int64_t synthFullOrderKey, int64_t commitJobId, long backupLevel,
                               const std::string& jobResultsFolder, EDirChangeMethod dirChangeMethod,
                               const std::string& dirChangeFilePath, bool carryForwardForSynthFull)
    : m_private(std::make_shared<ScanCommitJobsPrivate>()) {
    ScanCommitJobsPrivate& p = *m_private;
    p.m_serverName = serverName;
    p.m_currentJobId = currentJobId;
    p.m_commitJobOrderKey = commitJobOrderKey;
    p.m_synthFullOrderKey = synthFullOrderKey;
    p.m_commitJobId = commitJobId;
    p.m_backupLevel = backupLevel;
    p.m_carryForwardForSynthFull = carryForwardForSynthFull;
    p.m_folder = jobResultsFolder;
    p.m_dirChangeMethod = dirChangeMethod;
    p.m_dirChangeFilePath = dirChangeFilePath;
    p.m_dirChangeContainerPath = CreateDirChangeContainerNameFromFileName(dirChangeFilePath);
    const long long id = static_cast<long long>(commitJobId);
    p.m_commitTempPath = p.InFolder(kCommitTempName);
    p.m_commitCollectPath = p.InFolder(FXString::Format("Commit_J%lld_Collect.zyf", id));
    p.m_commitDirChangeDbPath = p.InFolder(FXString::Format("Commit_J%lld_DirChange.db", id));
    p.m_commitDirChangeFilePath = p.InFolder(FXString::Format("Commit_J%lld_DirChange.zyf", id));
    const std::string kind = p.TotOrInc();
    p.m_collectPrefixPath = p.InFolder("Collect" + kind);
    p.m_extentEligiblePrefixPath = p.InFolder("FileExtentEligibleNumCol" + kind);
    p.m_extentNumPrefixPath = p.InFolder("FileExtentNumCol" + kind);
    p.m_restartMapPath = p.InFolder("restartMap" + kind);
    p.m_extentRestartMapPath = p.InFolder("FileExtentrestartFile" + kind);
}

void ScanCommitJobs::SetExtentBackup(bool extentBackup) { m_private->m_extentBackup = extentBackup; }

void ScanCommitJobs::SetExtentContainerCollectFormDBPath(const std::string& path) {
    m_private->m_extentContainerCollectPath = path;
}

bool ScanCommitJobs::IsCommitJobTypeFull() const { return m_private->IsFull(); }
std::string ScanCommitJobs::GetCommitFileName() const { return m_private->m_commitCollectPath; }
std::string ScanCommitJobs::GetCommitDirChangeFileName() const { return m_private->m_commitDirChangeFilePath; }
std::string ScanCommitJobs::GetCommitDirChangeDatabaseName() const { return m_private->m_commitDirChangeDbPath; }

CKoError ScanCommitJobs::CreateCommitFile() {
    CKoError e = m_private->CreateCommitFile();
    if (e.IsError())
        return e.Push(ZY_HERE, "CommitJobId=[%lld], CurrentJobId=[%lld]", static_cast<long long>(m_private->m_commitJobId),
                      static_cast<long long>(m_private->m_currentJobId));
    return CKoError::Success();
}

CKoError ScanCommitJobs::ProcessUncommittedItems(UncommittedCallback* callback) {
    const std::string& path = m_private->m_commitCollectPath;
    std::unique_ptr<FXSequentialFile> file;
    CKoError e = FXEnv::Current()->NewSequentialFile(path, file);
    if (e.IsError()) return e.Push(ZY_HERE, "Failed to open file [%s] for reading", path.c_str());
    CSequentialLineReader reader(*file, kMaxCollectLine);
    std::string line;
    long long count = 0;
    for (;;) {
        std::string_view view;
        bool got = false;
        e = reader.Next(view, got);
        if (e.IsError()) return e.Push(ZY_HERE, "Failed to read file, FileName=[%s]", path.c_str());
        if (!got) break;
        while (!view.empty() && (view.back() == '\r' || view.back() == '\n')) view.remove_suffix(1);
        if (view.empty() || view == "/" || view == "\\") continue;
        line.assign(view.data(), view.size());
        if (m_private->IsIIMEntryExisted(line) || !callback || !*callback) continue;
        ++count;
        e = (*callback)(line);
        if (e.IsError()) return e.Push(ZY_HERE);
    }
    if (count > 0) ZYLOG(1, "ItemCount=[%lld]", count);
    return CKoError::Success();
}

CKoError ScanCommitJobs::AppendCommitFileToThisFile(FILE* target, const std::string& targetName) {
    if (!target)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "Received invalid arguments");
    CStreamSink sink(target);
    return m_private->AppendCommitFile(sink, targetName);
}

CKoError ScanCommitJobs::AppendCommitFileToThisFile(FXWritableFile* target, const std::string& targetName) {
    if (!target)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "Received invalid arguments");
    CWritableFileSink sink(*target);
    return m_private->AppendCommitFile(sink, targetName);
}

CKoError ScanCommitJobs::RenameFileExtentEligibleCollects() {
    return m_private->FindAndRenameFile("FileExtentEligibleNumColInc*.zyf", "FileExtentEligibleNumColTot",
                                        "FileExtentEligibleNumColInc");
}

CKoError ScanCommitJobs::RenameFileExtentNumCollects() {
    return m_private->FindAndRenameFile("FileExtentNumColInc*.zyf", "FileExtentNumColTot", "FileExtentNumColInc");
}

void ScanCommitJobs::ReplaceFileExtentEligiblePrefix(std::string& text) const {
    FXString::ReplaceAll(text, "FileExtentEligibleNumColInc", "FileExtentEligibleNumColTot");
}

void ScanCommitJobs::ReplaceFileExtentNumcolPrefix(std::string& text) const {
    FXString::ReplaceAll(text, "FileExtentNumColInc", "FileExtentNumColTot");
}

void ScanCommitJobs::PreProcessEntry(std::string& line) { m_private->PreProcessEntry(line); }
bool ScanCommitJobs::FilterEntry(const std::string& line) const { return m_private->FilterEntry(line); }
void ScanCommitJobs::PostProcessEntry(const std::string& line) { m_private->PostProcessEntry(line); }
bool ScanCommitJobs::IsIIMEntryExisted(const std::string& line) const { return m_private->IsIIMEntryExisted(line); }

CKoError ScanCommitJobs::FindOffsetDataFromRestartMapFile() { return m_private->FindOffsetDataFromRestartMapFile(); }
CKoError ScanCommitJobs::ParseRestartString(const std::string& restartString) {
    return m_private->ParseRestartString(restartString);
}
const std::map<int, CRestartMapFileEntry>& ScanCommitJobs::GetRestartEntries() const {
    return m_private->m_restartEntries;
}

void ScanCommitJobs::ConvertFileExtentEntryToRegularCollectEntry(std::string& line) {
    std::string text = line;
    FXString::TrimRight(text, "\r\n\t");
    std::vector<std::string> fields;
    FXString::Split(text, "|", fields);
    if (fields.empty()) return;
    std::vector<std::string> kept{fields[0]};
    unsigned long itemType = 0;
    for (size_t i = 1; i < fields.size(); ++i) {
        const std::string& f = fields[i];
        if (FXString::MatchLeftNoCase(f, "<FEI>")) {
            itemType = std::strtoul(f.c_str() + f.find('>') + 1, nullptr, 10);
            continue;
        }
        if (FXString::MatchLeftNoCase(f, "<FEN>") || FXString::MatchLeftNoCase(f, "<VG>") ||
            FXString::MatchLeftNoCase(f, "<CTIME>") || FXString::MatchLeftNoCase(f, "<FES>"))
            continue;
        kept.push_back(f);
    }
    kept.push_back(FXString::Format("%s%lu", "<FEI>", 1UL));
    if (itemType == 2) {
        std::string file;
        uint64_t extent = 0;
        if (ExtentNameConverter::GetFileNameAndExtentNumber(kept[0], file, extent)) {
            FXPath::RemoveTrailingDelimiter(file);
            kept[0] = file;
        }
    }
    line = kept[0];
    for (size_t i = 1; i < kept.size(); ++i) line += "|" + kept[i];
}

std::string ScanCommitJobs::CreateDirChangeContainerNameFromFileName(const std::string& path) {
    std::string result = path;
    if (FXString::RemoveRightNoCase(result, "DCTot.zyf"))
        result += "DirChangeFull.db";
    else if (FXString::RemoveRightNoCase(result, "DCInc.zyf"))
        result += "DirChangeIncremental.db";
    return result;
}

std::string ScanCommitJobs::RestartMapFileName(bool full) { return full ? "restartMapTot" : "restartMapInc"; }

std::string ScanCommitJobs::CollectFileName(bool full, int collectId) {
    return FXString::Format("%s%d.zyf", full ? "CollectTot" : "CollectInc", collectId);
}

CKoError ScanCommitJobs::WriteRestartMapFile(const std::string& path, const std::map<int, int64_t>& offsets) {
    std::string text;
    for (const auto& [id, offset] : offsets) text += FXString::Format("%d %lld\n", id, static_cast<long long>(offset));
    CKoError e = FXDurableReplace::WriteWhole(path, text);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot write the restart map, FileName=[%s]", path.c_str());
    return CKoError::Success();
}

std::string ScanCommitJobs::FormatRestartString(const std::map<int, int64_t>& offsets) {
    if (offsets.empty()) return std::string();
    std::string text = "-o ";
    bool first = true;
    for (const auto& [id, offset] : offsets) {
        if (!first) text += '@';
        first = false;
        text += FXString::Format("%d|%lld", id, static_cast<long long>(offset == kSkipFile ? -1 : offset));
    }
    return text;
}
