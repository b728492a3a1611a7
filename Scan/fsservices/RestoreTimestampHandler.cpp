// Records the times of restored folders and long-path items, and applies them at the end.
#include "scan/fsservices/RestoreTimestampHandler.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "core/LogWriter.h"
#include "core/Path.h"
#include "core/StringUtil.h"
#include "scan/fsservices/ZyLongPathHandler.h"

namespace {

constexpr size_t kFlushBytes = 64 * 1024;
constexpr size_t kReadChunk = 64 * 1024;
constexpr size_t kMaxLine = 16u << 20;  // a record longer than any path a restore writes is damage
constexpr int64_t kCheckEvery = 50;
constexpr size_t kLongPath = 1024;

bool IsAllDigits(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Reads a file of the seam line by line; a line may be any length up to kMaxLine.
class CLineReader {
public:
    explicit CLineReader(std::unique_ptr<FXSequentialFile> file) : m_file(std::move(file)), m_chunk(kReadChunk) {}

    // `got` false at the end of the file; a last line without its line feed still counts.
    CKoError Next(std::string& line, bool& got) {
        line.clear();
        got = false;
        for (;;) {
            if (m_pos == m_end) {
                if (m_eof) {
                    got = !line.empty();
                    return CKoError::Success();
                }
                size_t n = 0;
                CKoError e = m_file->Read(m_chunk.data(), m_chunk.size(), n);
                if (e.IsError()) return e.Push(ZY_HERE);
                m_pos = 0;
                m_end = n;
                m_eof = n == 0;
                continue;
            }
            const char* start = m_chunk.data() + m_pos;
            const void* nl = std::memchr(start, '\n', m_end - m_pos);
            const size_t take = nl ? static_cast<const char*>(nl) - start : m_end - m_pos;
            if (line.size() + take > kMaxLine)
                return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA,
                                               "Timestamp record longer than %zu bytes", kMaxLine);
            line.append(start, take);
            m_pos += take;
            if (nl) {
                ++m_pos;
                got = true;
                return CKoError::Success();
            }
        }
    }

private:
    std::unique_ptr<FXSequentialFile> m_file;
    std::vector<char> m_chunk;
    size_t m_pos = 0, m_end = 0;
    bool m_eof = false;
};

CKoError CountLines(const std::string& path, int64_t& lines) {
    lines = 0;
    std::unique_ptr<FXSequentialFile> file;
    CKoError e = FXEnv::Current()->NewSequentialFile(path, file);
    if (e.IsError()) return e.Push(ZY_HERE);
    std::vector<char> chunk(kReadChunk);
    bool partial = false;
    for (;;) {
        size_t n = 0;
        e = file->Read(chunk.data(), chunk.size(), n);
        if (e.IsError()) return e.Push(ZY_HERE);
        if (n == 0) break;
        lines += std::count(chunk.data(), chunk.data() + n, '\n');
        partial = chunk[n - 1] != '\n';
    }
    if (partial) ++lines;
    return CKoError::Success();
}

CKoError ReadWhole(const std::string& path, std::string& out) {
    out.clear();
    std::unique_ptr<FXSequentialFile> file;
    CKoError e = FXEnv::Current()->NewSequentialFile(path, file);
    if (e.IsError()) return e.Push(ZY_HERE);
    std::vector<char> chunk(kReadChunk);
    for (;;) {
        size_t n = 0;
        e = file->Read(chunk.data(), chunk.size(), n);
        if (e.IsError()) return e.Push(ZY_HERE);
        if (n == 0) return CKoError::Success();
        out.append(chunk.data(), n);
    }
}

}  // namespace

struct CRestoreTimestampHandler::OpenFile {
    std::unique_ptr<FXWritableFile> file;
    std::string pending;
};

CRestoreTimestampHandler::CRestoreTimestampHandler(ApplicationId applicationId, int64_t jobId,
                                                   std::shared_ptr<ZYJobControlClient> jobControl,
                                                   std::shared_ptr<ZYStoreResults> storeResults)
    : m_applicationId(std::move(applicationId)),
      m_jobId(jobId),
      m_jobControl(std::move(jobControl)),
      m_storeResults(std::move(storeResults)) {}

CRestoreTimestampHandler::~CRestoreTimestampHandler() {
    CKoError e = Close();
    if (e.IsError()) ZYLOG_ERROR("%s", e.AsString().c_str());
    if (m_rootFd >= 0) ::close(m_rootFd);
}

CKoError CRestoreTimestampHandler::JobResults(std::string& folder, const FXCodeLocation& where) const {
    folder.clear();
    if (m_storeResults) folder = m_storeResults->GetJobResultsDirectory();
    if (folder.empty())
        return FXErrorUtil::ErrorWin32(where, ZyWin32::ERROR_GENERAL_FAILURE, "Cannot find the job results directory");
    return CKoError::Success();
}

std::string CRestoreTimestampHandler::FolderTimestampFile() const {
    return FXString::Format("FolderTimestamps_%d_%lld.zyf", static_cast<int>(::getpid()),
                            static_cast<long long>(m_jobId));
}
std::string CRestoreTimestampHandler::FolderTimestampFile(int taskId) const {
    return FXString::Format("FolderTimestamps_%d.zyf", taskId);
}
std::string CRestoreTimestampHandler::LongPathTimestampFile(int taskId) const {
    return FXString::Format("LongPathTimestamps_%d.zyf", taskId);
}
std::string CRestoreTimestampHandler::JobLongPathTimestampFile() const {
    return FXString::Format("LongPathTimestamps_J%lld.zyf", static_cast<long long>(m_jobId));
}

CKoError CRestoreTimestampHandler::SetTargetRoot(const std::string& root) {
    if (m_rootFd >= 0) ::close(m_rootFd);
    m_rootFd = -1;
    m_root = root;
    FXPath::RemoveTrailingDelimiter(m_root);
    if (m_root.empty() || m_root[0] != '/')
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "Restore target [%s] is not absolute",
                                       root.c_str());
    m_rootFd = ::open(m_root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_rootFd < 0) return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "Cannot open restore target [%s]", m_root.c_str());
    return CKoError::Success();
}

// ---------------------------------------------------------------------------------------------
// Recording

CKoError CRestoreTimestampHandler::AddTo(const std::string& name, const CTimestampData& data) {
    std::string folder;
    CKoError e = JobResults(folder, ZY_HERE);
    if (e.IsError()) return e;
    std::unique_ptr<OpenFile>& slot = m_files[name];
    if (!slot) {
        auto open = std::make_unique<OpenFile>();
        const std::string path = folder + "/" + name;
        e = FXEnv::Current()->NewWritableFile(path, EWriteMode::Append, open->file);
        if (e.IsError()) {
            m_files.erase(name);
            return e.Push(ZY_HERE, "Failed to create or open file [%s]", path.c_str())
                .Push(ZY_HERE, "Cannot open file to add timestamp data");
        }
        slot = std::move(open);
    }
    std::string record;
    e = data.Serialize(record);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot write timestamp data");
    slot->pending += record;
    slot->pending += '\n';
    if (slot->pending.size() >= kFlushBytes) {
        e = slot->file->Append(slot->pending);
        slot->pending.clear();
        if (e.IsError()) return e.Push(ZY_HERE, "Cannot write timestamp data");
    }
    return CKoError::Success();
}

CKoError CRestoreTimestampHandler::Add(const CTimestampData& data) {
    CKoError e = AddTo(FolderTimestampFile(), data);
    return e.IsError() ? e.Push(ZY_HERE) : e;
}

CKoError CRestoreTimestampHandler::Add(const CTimestampData& data, int taskId) {
    CKoError e = AddTo(FolderTimestampFile(taskId), data);
    return e.IsError() ? e.Push(ZY_HERE) : e;
}

CKoError CRestoreTimestampHandler::AddLongpath(const CTimestampData& data, int taskId) {
    CKoError e = AddTo(LongPathTimestampFile(taskId), data);
    return e.IsError() ? e.Push(ZY_HERE) : e;
}

CKoError CRestoreTimestampHandler::Close() {
    CKoError first;
    for (auto& [name, open] : m_files) {
        CKoError e;
        if (!open->pending.empty()) e = open->file->Append(open->pending);
        if (e.IsSuccess()) e = open->file->Close();
        if (e.IsError() && first.IsSuccess()) first = e.Push(ZY_HERE, "Cannot write timestamp data");
    }
    m_files.clear();
    return first;
}

// ---------------------------------------------------------------------------------------------
// Applying

CKoError CRestoreTimestampHandler::Apply() {
    std::string folder;
    CKoError e = JobResults(folder, ZY_HERE);
    if (e.IsError()) return e;
    e = Close();
    if (e.IsError()) return e.Push(ZY_HERE);
    std::vector<std::string> names;
    e = FXEnv::Current()->GetChildren(folder, names);
    if (e.IsError()) return e.Push(ZY_HERE);
    std::sort(names.begin(), names.end());
    CKoError first;
    for (const std::string& name : names) {
        if (name.compare(0, 16, "FolderTimestamps") != 0) continue;
        e = ProcessDoc(folder + "/" + name, "restore_foldertimestamp.out");
        if (e.IsError()) {
            ZYLOG_ERROR("Failed to process timestamp file [%s]. Error: [%s]", name.c_str(), e.AsString().c_str());
            // A stopped job stops here; other failures leave the file for another pass and go on.
            if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_OPERATION_ABORTED)) return e.Push(ZY_HERE);
            if (first.IsSuccess()) first = e;
        }
    }
    return first.IsError() ? first.Push(ZY_HERE) : first;
}

CKoError CRestoreTimestampHandler::Apply(int taskId) {
    if (taskId < 0) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "Invalid task id");
    std::string folder;
    CKoError e = JobResults(folder, ZY_HERE);
    if (e.IsError()) return e;
    e = Close();
    if (e.IsError()) return e.Push(ZY_HERE);
    const std::string path = folder + "/" + FolderTimestampFile(taskId);
    FXFileStat st;
    if (FXEnv::Current()->Stat(path, st).IsError())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_FILE_NOT_FOUND, "Failed to find the file [%s]",
                                       path.c_str());
    e = ProcessDoc(path, FXString::Format("restore_foldertimestamp_%d.out", taskId));
    return e.IsError() ? e.Push(ZY_HERE) : e;
}

CKoError CRestoreTimestampHandler::GatherLongPathFiles() {
    std::string folder;
    CKoError e = JobResults(folder, ZY_HERE);
    if (e.IsError()) return e;
    std::vector<std::string> names;
    e = FXEnv::Current()->GetChildren(folder, names);
    if (e.IsError()) return e.Push(ZY_HERE);
    std::sort(names.begin(), names.end());
    std::unique_ptr<FXWritableFile> job;
    for (const std::string& name : names) {
        std::string_view rest(name);
        if (rest.compare(0, 19, "LongPathTimestamps_") != 0 || rest.size() < 19 + 4 ||
            rest.substr(rest.size() - 4) != ".zyf" || !IsAllDigits(rest.substr(19, rest.size() - 23)))
            continue;
        if (!job) {
            e = FXEnv::Current()->NewWritableFile(folder + "/" + JobLongPathTimestampFile(), EWriteMode::Append, job);
            if (e.IsError()) return e.Push(ZY_HERE);
        }
        std::string content;
        e = ReadWhole(folder + "/" + name, content);
        if (e.IsSuccess() && !content.empty() && content.back() != '\n') content += '\n';
        if (e.IsSuccess()) e = job->Append(content);
        if (e.IsSuccess()) e = job->Sync();
        if (e.IsSuccess()) e = FXEnv::Current()->RemoveFile(folder + "/" + name);
        if (e.IsError()) return e.Push(ZY_HERE);
    }
    if (job) {
        e = job->Close();
        if (e.IsError()) return e.Push(ZY_HERE);
    }
    return CKoError::Success();
}

CKoError CRestoreTimestampHandler::ApplyLongpath() {
    std::string folder;
    CKoError e = JobResults(folder, ZY_HERE);
    if (e.IsError()) return e;
    e = Close();
    if (e.IsSuccess()) e = GatherLongPathFiles();
    if (e.IsError()) return e.Push(ZY_HERE);
    const std::string path = folder + "/" + JobLongPathTimestampFile();
    FXFileStat st;
    if (FXEnv::Current()->Stat(path, st).IsError()) return CKoError::Success();  // no long paths this job
    e = ProcessDoc(path, "restore_foldertimestamp.out");
    return e.IsError() ? e.Push(ZY_HERE) : e;
}

CKoError CRestoreTimestampHandler::Apply(const std::string& path) {
    CKoError e = Close();
    if (e.IsSuccess()) e = ProcessDoc(path, "restore_foldertimestamp.out");
    return e.IsError() ? e.Push(ZY_HERE) : e;
}

CKoError CRestoreTimestampHandler::Apply(const CTimestampData& data) {
    CKoError e = ApplyRecord(data);
    return e.IsError() ? e.Push(ZY_HERE) : e;
}

CKoError CRestoreTimestampHandler::ProcessDoc(const std::string& path, const std::string& resultName) {
    std::string folder;
    CKoError e = JobResults(folder, ZY_HERE);
    if (e.IsError()) return e;
    int64_t total = 0;
    std::unique_ptr<FXSequentialFile> file;
    e = CountLines(path, total);
    if (e.IsSuccess()) e = FXEnv::Current()->NewSequentialFile(path, file);
    if (e.IsError()) return e.Push(ZY_HERE, "Failed to open timestamp file, FileName=[%s]", path.c_str());

    const std::string resultPath = folder + "/" + resultName;
    // Left by a pass that was stopped: this pass reports every failure again.
    CKoError stale = FXEnv::Current()->RemoveFile(resultPath);
    if (stale.IsError() && !FXErrorUtil::IsWin32(stale, ZyWin32::ERROR_FILE_NOT_FOUND)) return stale.Push(ZY_HERE);
    std::unique_ptr<FXWritableFile> results;
    std::string pending;
    auto flush = [&]() -> CKoError {
        if (pending.empty()) return CKoError::Success();
        if (!results) {
            CKoError o = FXEnv::Current()->NewWritableFile(resultPath, EWriteMode::Append, results);
            if (o.IsError()) return o.Push(ZY_HERE);
        }
        CKoError w = results->Append(pending);
        pending.clear();
        return w;
    };

    CLineReader reader(std::move(file));
    std::string line;
    int64_t done = 0, applied = 0;
    CTimestampData data;
    for (;;) {
        bool got = false;
        e = reader.Next(line, got);
        if (e.IsError()) return e.Push(ZY_HERE, "Failed to read timestamp file [%s]", path.c_str());
        if (!got) break;
        if (done % kCheckEvery == 0) {
            if (m_jobControl && m_jobControl->IsJobInterrupted()) {
                ZYLOG(1, "Job has been interrupted by the Job Manager");
                CKoError w = flush();
                if (w.IsError()) ZYLOG_ERROR("%s", w.AsString().c_str());
                return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OPERATION_ABORTED,
                                               "Job has been interrupted by the Job Manager");
            }
            ZYLOG(5, "Processed %lld items. Approximate progress = %.2f%%.", static_cast<long long>(done),
                  total ? 100.0 * double(done) / double(total) : 100.0);
        }
        ++done;
        if (line.empty()) continue;
        e = data.DeSerialize(line);
        if (e.IsSuccess()) e = ApplyRecord(data);
        if (e.IsSuccess()) {
            ++applied;
            ++m_applied;
            continue;
        }
        ++m_failed;
        const std::string& name = data.GetReportingFileName().empty() ? data.GetFileName() : data.GetReportingFileName();
        const std::string shown = name.empty() ? line.substr(0, 256) : name;
        ZYLOG_ERROR("Failed to apply timestamps for [%s], Error: [%s]", shown.c_str(), e.AsString().c_str());
        // A gone item is said briefly; anything else with the reason.
        if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_FILE_NOT_FOUND))
            pending += FXString::Format("%s   [DATA]  ->  %d\n", shown.c_str(), static_cast<int>(e.GetErrorCode()));
        else
            pending += FXString::Format("%s   [DATA]    [ %s     %s ]   ->  %d\n", shown.c_str(),
                                        data.GetFileName().empty() ? "-" : data.GetFileName().c_str(),
                                        e.GetMessage().c_str(), static_cast<int>(e.GetErrorCode()));
        if (pending.size() >= kFlushBytes) {
            CKoError w = flush();
            if (w.IsError())
                ZYLOG_ERROR("Failed to update restore results for the folder [%s], Error: [%s]", shown.c_str(),
                            w.AsString().c_str());
        }
    }
    e = flush();
    if (e.IsSuccess() && results) e = results->Close();
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot write timestamp results [%s]", resultPath.c_str());
    e = MergeResults(resultPath);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot merge folder timestamp results to restore.out");
    ZYLOG(2, "Timestamp applied for %lld folders", static_cast<long long>(applied));
    e = RemoveResults(path, resultPath);
    return e.IsError() ? e.Push(ZY_HERE, "Cannot remove temporary timestamp files") : e;
}

CKoError CRestoreTimestampHandler::MergeResults(const std::string& resultPath) {
    FXFileStat st;
    if (FXEnv::Current()->Stat(resultPath, st).IsError() || st.size == 0) return CKoError::Success();
    std::string lines, restoreOut;
    CKoError e = ReadWhole(resultPath, lines);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot open timestamp results file [%s]", resultPath.c_str());
    const std::string outPath = m_storeResults->GetRestoreOutPath();
    e = ReadWhole(outPath, restoreOut);
    if (e.IsError() && !FXErrorUtil::IsWin32(e, ZyWin32::ERROR_FILE_NOT_FOUND))
        return e.Push(ZY_HERE, "Cannot open restore result file [%s]", outPath.c_str())
            .Push(ZY_HERE, "Cannot open restore.out. Failing to merge folder timestamp restore results");
    if (!restoreOut.empty() && restoreOut.back() != '\n') restoreOut += '\n';
    size_t at = restoreOut.size();
    if (m_storeResults->IsDistributedRestore()) {
        // With this process's section: before the next section begins, or at the end.
        const std::string mine = FXString::Format("BeginDistributedRestore pid:%d", static_cast<int>(::getpid()));
        const size_t section = restoreOut.find(mine);
        if (section != std::string::npos && (section == 0 || restoreOut[section - 1] == '\n')) {
            const size_t next = restoreOut.find("\nBeginDistributedRestore pid:", section + mine.size());
            if (next != std::string::npos) at = next + 1;
        }
    }
    restoreOut.insert(at, lines);
    e = FXDurableReplace::WriteWhole(outPath, restoreOut);
    return e.IsError() ? e.Push(ZY_HERE, "Cannot open restore result file [%s]", outPath.c_str()) : e;
}

CKoError CRestoreTimestampHandler::RemoveResults(const std::string& timestampPath, const std::string& resultPath) {
    CKoError first;
    for (const std::string& p : {timestampPath, resultPath}) {
        CKoError e = FXEnv::Current()->RemoveFile(p);
        if (e.IsError() && !FXErrorUtil::IsWin32(e, ZyWin32::ERROR_FILE_NOT_FOUND)) {
            ZYLOG_ERROR("Failed to remove result file [%s]", p.c_str());
            if (first.IsSuccess()) first = e;
        }
    }
    return first;
}

// ---------------------------------------------------------------------------------------------
// One record

CKoError CRestoreTimestampHandler::ApplyRecord(const CTimestampData& data) {
    const std::string& path = data.GetFileName();
    // What the record does not hold is left as it is.
    struct timespec times[2];
    times[0].tv_sec = data.HasAccessTime() ? data.GetAccessTime() : 0;
    times[0].tv_nsec = data.HasAccessTime() ? 0 : UTIME_OMIT;
    times[1].tv_sec = data.HasModifiedTime() ? data.GetModifiedTime() : 0;
    times[1].tv_nsec = data.HasModifiedTime() ? 0 : UTIME_OMIT;
    if (path.empty()) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "Empty file name");
    if (m_rootFd >= 0) return ApplyBeneathRoot(path, times);
    int rc;
    if (path.size() < kLongPath) {
        rc = ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
    } else {
        ZyLongPathHandler* handler = ZyLongPathHandler::GetHandler();
        if (!handler) {
            errno = EPERM;
            rc = -1;
        } else {
            rc = handler->utimensat_long(path, times, AT_SYMLINK_NOFOLLOW);
        }
    }
    if (rc == 0) return CKoError::Success();
    if (errno == ENOENT)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_FILE_NOT_FOUND, "[%s] is not found", path.c_str());
    return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "Cannot apply timestamp for [%s]", path.c_str());
}

CKoError CRestoreTimestampHandler::ApplyBeneathRoot(const std::string& path, const struct timespec times[2]) {
    // Lexically below the root, in whole components, with no "." or ".." on the way.
    if (!FXPath::IsAncestorOf(m_root, path, true) || path.size() < m_root.size())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_ACCESS_DENIED, "[%s] is outside the restore target [%s]",
                                       path.c_str(), m_root.c_str());
    std::vector<std::string_view> parts;
    std::string_view rest = std::string_view(path).substr(m_root == "/" ? 0 : m_root.size());
    while (!rest.empty()) {
        const size_t start = rest.find_first_not_of('/');
        if (start == std::string_view::npos) break;
        rest = rest.substr(start);
        const size_t end = rest.find('/');
        const std::string_view part = rest.substr(0, end);
        if (part == "." || part == "..")
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_ACCESS_DENIED,
                                           "[%s] is outside the restore target [%s]", path.c_str(), m_root.c_str());
        parts.push_back(part);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
    }
    if (parts.empty()) {
        if (::futimens(m_rootFd, times) == 0) return CKoError::Success();
        return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "Cannot apply timestamp for [%s]", path.c_str());
    }
    // Down through real folders only: a link anywhere on the way stops the walk.
    int dir = m_rootFd;
    std::string name;
    int rc = 0;
    for (size_t i = 0; i + 1 < parts.size() && rc == 0; ++i) {
        name.assign(parts[i]);
        const int sub = ::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int err = errno;
        if (dir != m_rootFd) ::close(dir);
        if (sub < 0) {
            errno = err;
            rc = -1;
            dir = -1;
        } else {
            dir = sub;
        }
    }
    if (rc == 0) {
        name.assign(parts.back());
        rc = ::utimensat(dir, name.c_str(), times, AT_SYMLINK_NOFOLLOW);
        const int err = errno;
        if (dir != m_rootFd) ::close(dir);
        errno = err;
    }
    if (rc == 0) return CKoError::Success();
    if (errno == ENOENT)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_FILE_NOT_FOUND, "[%s] is not found", path.c_str());
    return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "Cannot apply timestamp for [%s]", path.c_str());
}
