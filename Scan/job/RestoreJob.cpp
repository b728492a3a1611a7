#include "scan/job/RestoreJob.h"

#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "agent/ApplicationId.h"
#include "agent/RestoreServices.h"
#include "core/Env.h"
#include "core/File.h"
#include "core/LogWriter.h"
#include "core/Path.h"
#include "core/PathWalker.h"
#include "core/SafePath.h"
#include "core/Sync.h"
#include "core/TimeStamp.h"
#include "scan/Unix/ZyFsACL.h"
#include "scan/fsservices/RestoreTimestampHandler.h"
#include "scan/job/BackupMetadataStore.h"
#include "scan/job/JobState.h"
#include "scan/job/SparseCopy.h"

namespace {

bool AsRoot() { return ::geteuid() == 0; }

std::string SystemText(int err) {
    char buffer[256];
    return strerror_r(err, buffer, sizeof buffer);
}

struct timespec TimeOf(int64_t ns) {
    struct timespec t;
    t.tv_sec = static_cast<time_t>(ns / 1000000000);
    t.tv_nsec = static_cast<long>(ns % 1000000000);
    if (t.tv_nsec < 0) {
        t.tv_nsec += 1000000000;
        --t.tv_sec;
    }
    return t;
}

int64_t Nanos(const struct timespec& t) { return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec; }

// A name the mirror gives an entry while it makes it; one that the store knows nothing of is a
// leftover of a killed backup, not an item.
bool IsMirrorTemporary(const std::string& name) {
    return name.compare(0, 8, ".fsscan-") == 0 && name.size() > 12 && name.compare(name.size() - 4, 4, ".tmp") == 0;
}

// Whether the security metadata `security` carries the attribute `name`.
bool CarriesAttribute(const std::string& security, std::string_view name) {
    std::vector<ZyACL::RecordView> records;
    if (ZyACL::ParseNetworkBuffer(reinterpret_cast<const uint8_t*>(security.data()), security.size(), records).IsError())
        return false;
    std::vector<ZyACL::XattrEntry> entries;
    for (const ZyACL::RecordView& r : records) {
        if (r.type != ZyACL::RECORD_XATTR || ZyACL::ParseXattrEntries(r.data, static_cast<size_t>(r.size), entries).IsError())
            continue;
        for (const ZyACL::XattrEntry& x : entries)
            if (x.name == name) return true;
    }
    return false;
}

// An item made in a folder with a default ACL inherits an ACL; one the backed-up item did not
// have is dropped, so the item gets exactly its own.
int DropInheritedAcls(int fd, bool folder, const std::string& security) {
    const char* const names[] = {"system.posix_acl_access", "system.posix_acl_default"};  // only folders have the second
    for (const char* name : names) {
        if (!folder && name == names[1]) break;
        if (::fgetxattr(fd, name, nullptr, 0) < 0) continue;  // none (the usual case)
        if (!CarriesAttribute(security, name) && ::fremovexattr(fd, name) != 0 && errno != ENODATA) return errno;
    }
    return 0;
}

// A folder whose metadata waits for the end: times through the timestamp handler, then flags.
struct SLateFolder {
    std::string path;      // source path
    std::string security;  // network buffer needing PostSet
};

class CRestoreRun {
public:
    CRestoreRun(const SRestoreJobOptions& options, SRestoreJobSummary& summary) : m_options(options), m_summary(summary) {}
    CKoError Run();

private:
    CKoError Prepare();
    CKoError RestorePrefix(const std::string& prefix);
    // Restores the entry `name` of the mirror folder `srcParent` into `dstParent`. `only`: the
    // components still to descend through for a prefix restore (the entry is then an ancestor:
    // made when missing, nothing else of it restored).
    CKoError RestoreEntry(int srcParent, const std::string& name, int dstParent, const std::string& path,
                          const std::vector<std::string_view>& only, size_t depth);
    CKoError RestoreFolder(int srcParent, const std::string& name, const struct stat& mst, int dstParent,
                           const std::string& path, const std::vector<std::string_view>& only, size_t depth, bool exists);
    void RestoreNonFolder(int srcParent, const std::string& name, const struct stat& mst, int dstParent,
                          const std::string& path, bool exists);
    // Metadata of the item `path` (from the store, or what the mirror copy has).
    void LookUp(const std::string& path, const struct stat& mst, SItemMetadata& meta, bool& known);
    // Owner, security metadata and mode of the entry `name` of `dstParent`; false after Failed().
    bool ApplyMetadata(int dstParent, const std::string& name, int fd, const SItemMetadata& meta, bool known,
                       const std::string& path, bool isLink);
    CKoError ApplyLateFolders();
    CKoError WriteResults();
    void Failed(const std::string& path, const std::string& reason);
    std::string TempName() { return ".fsscan-restore-" + std::to_string(::getpid()) + "-" + std::to_string(++m_temp) + ".tmp"; }

    const SRestoreJobOptions& m_options;
    SRestoreJobSummary& m_summary;
    std::string m_from, m_to, m_restoreDir;
    FXFd m_fromFd, m_toFd;
    CBackupMetadataStore m_store;
    std::shared_ptr<ZyACL::Helper> m_helper;
    std::unique_ptr<CRestoreTimestampHandler> m_times;
    std::vector<SLateFolder> m_late;
    std::vector<SRestoreFailure> m_allFailures;  // for restore.out
    uint64_t m_temp = 0;
};

void CRestoreRun::Failed(const std::string& path, const std::string& reason) {
    ++m_summary.failed;
    ZYLOG(1, "Cannot restore, Path=[%s], Reason=[%s]", path.c_str(), reason.c_str());
    if (m_summary.failures.size() < CRestoreJob::kMaxListed) m_summary.failures.push_back({path, reason});
    try {
        m_allFailures.push_back({path, reason});
    } catch (const std::bad_alloc&) {
    }
}

CKoError CRestoreRun::Prepare() {
    CKoError e = FXPath::MakeRealPath(m_options.from, m_from);
    if (e.IsError()) return e.Push(ZY_HERE, "No backup to restore from, Folder=[%s]", m_options.from.c_str());
    e = FXSafePath::RealPathToBe(m_options.to, m_to);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot resolve the target, Folder=[%s]", m_options.to.c_str());
    for (const auto& [a, b] : {std::make_pair(m_from, m_to), std::make_pair(m_to, m_from),
                               std::make_pair(m_options.resultsDir, m_to), std::make_pair(m_to, m_options.resultsDir)}) {
        if (FXSafePath::IsAtOrBelow(a, b))
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_BAD_ARGUMENTS,
                                           "The target, the backup and the job-results folder must not lie in one another, "
                                           "Target=[%s], Backup=[%s], Results=[%s]",
                                           m_to.c_str(), m_from.c_str(), m_options.resultsDir.c_str());
    }
    for (const std::string& p : m_options.paths)
        if (!FXSafePath::IsCleanAbsolute(p))
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_BAD_ARGUMENTS, "Not a clean absolute path, Path=[%s]", p.c_str());
    e = FXFile::CreateFoldersIteratively(m_to, 0700);
    if (e.IsSuccess()) e = FXPathWalker::OpenByDescent(m_from, m_fromFd);
    if (e.IsSuccess()) e = FXPathWalker::OpenByDescent(m_to, m_toFd);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot open the backup or the target");

    e = m_store.Open(m_options.resultsDir, false);
    if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_FILE_NOT_FOUND)) {
        m_summary.withoutMetadata = true;
        ZYLOG(1, "No backup metadata: restoring what the mirror copies carry");
    } else if (e.IsError()) {
        return e.Push(ZY_HERE);
    }
    m_helper = ZyACL::Helper::getInstance();

    // The restore's own folder: timestamp files and results of this run only.
    m_restoreDir = FXPath::Join(m_options.resultsDir, "Restore");
    FXFd results;
    e = FXPathWalker::OpenByDescent(m_options.resultsDir, results);
    if (e.IsSuccess()) e = FXPathWalker::RemoveTreeAt(results.Get(), "Restore");
    if (e.IsSuccess() && ::mkdirat(results.Get(), "Restore", 0700) != 0)
        e = FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "mkdir failed");
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot prepare the restore's folder, Folder=[%s]", m_restoreDir.c_str());
    m_summary.resultsFile = FXPath::Join(m_restoreDir, "restore.out");
    auto control = std::make_shared<ZYFileJobControlClient>(m_restoreDir);
    auto store = std::make_shared<ZYStoreResults>(m_restoreDir);
    m_times = std::make_unique<CRestoreTimestampHandler>(ApplicationId(), static_cast<int64_t>(::getpid()), control, store);
    e = m_times->SetTargetRoot(m_to);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

void CRestoreRun::LookUp(const std::string& path, const struct stat& mst, SItemMetadata& meta, bool& known) {
    known = false;
    if (m_store.IsOpen()) {
        CKoError e = m_store.Get(path, meta, known);
        if (e.IsError()) Failed(path, "cannot read its metadata: " + e.GetMessage());
        // A record of another kind of item is stale: the mirror copy is what was backed up last.
        if (known && (meta.mode & S_IFMT) != (mst.st_mode & S_IFMT)) known = false;
    }
    if (!known) {
        meta = SItemMetadata();
        meta.mode = mst.st_mode;
        meta.uid = mst.st_uid;
        meta.gid = mst.st_gid;
        meta.atimeNs = Nanos(mst.st_atim);
        meta.mtimeNs = Nanos(mst.st_mtim);
    }
}

bool CRestoreRun::ApplyMetadata(int dstParent, const std::string& name, int fd, const SItemMetadata& meta, bool known,
                                const std::string& path, bool isLink) {
    bool ok = true;
    if (AsRoot()) {
        const int rc = fd >= 0 ? ::fchown(fd, meta.uid, meta.gid)
                               : ::fchownat(dstParent, name.c_str(), meta.uid, meta.gid, AT_SYMLINK_NOFOLLOW);
        if (rc != 0) {
            Failed(path, "cannot set its owner: " + SystemText(errno));
            ok = false;
        }
    }
    if (known && fd >= 0) {
        if (const int err = DropInheritedAcls(fd, S_ISDIR(meta.mode), meta.security)) {
            Failed(path, "cannot drop the ACL it inherited: " + SystemText(err));
            ok = false;
        }
    }
    if (!meta.security.empty()) {
        m_helper->clearError();
        // By the descriptor held where there is one: the name could meanwhile be another item's.
        const int rc = fd >= 0 ? m_helper->set(fd, meta.security) : m_helper->setAt(dstParent, name.c_str(), meta.security);
        if (rc != 0) {
            Failed(path, "cannot restore its security metadata: " + m_helper->lastErrorText());
            ok = false;
        }
    }
    if (!isLink) {
        const int rc = fd >= 0 ? ::fchmod(fd, meta.mode & 07777) : ::fchmodat(dstParent, name.c_str(), meta.mode & 07777, 0);
        if (rc != 0) {
            Failed(path, "cannot set its mode: " + SystemText(errno));
            ok = false;
        }
    }
    return ok;
}

void CRestoreRun::RestoreNonFolder(int srcParent, const std::string& name, const struct stat& mst, int dstParent,
                                   const std::string& path, bool exists) {
    if (exists && !m_options.overwrite) {
        Failed(path, "it exists in the target; not replaced (--overwrite replaces it)");
        return;
    }
    SItemMetadata meta;
    bool known = false;
    LookUp(path, mst, meta, known);
    const std::string temp = TempName();
    auto dropTemp = [&] { ::unlinkat(dstParent, temp.c_str(), 0); };
    FXFd out;
    uint64_t copied = 0;
    switch (mst.st_mode & S_IFMT) {
        case S_IFREG: {
            FXFd in(::openat(srcParent, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
            struct stat ist;
            if (!in.IsOpen() || ::fstat(in.Get(), &ist) != 0 || !S_ISREG(ist.st_mode)) {
                Failed(path, "cannot read its backup copy: " + SystemText(in.IsOpen() ? EINVAL : errno));
                return;
            }
            out.Reset(::openat(dstParent, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            if (!out.IsOpen()) {
                Failed(path, "cannot create it: " + SystemText(errno));
                return;
            }
            bool readError = false;
            if (const int err = CSparseCopy::Copy(in.Get(), out.Get(), ist.st_size, copied, readError)) {
                out.Reset();
                dropTemp();
                Failed(path, std::string(readError ? "cannot read its backup copy: " : "cannot write it: ") + SystemText(err));
                return;
            }
            break;
        }
        case S_IFLNK: {
            std::vector<char> target(static_cast<size_t>(mst.st_size > 0 ? mst.st_size : PATH_MAX) + 1);
            const ssize_t n = ::readlinkat(srcParent, name.c_str(), target.data(), target.size());
            if (n < 0 || static_cast<size_t>(n) >= target.size()) {
                Failed(path, "cannot read its backup copy: " + SystemText(n < 0 ? errno : EOVERFLOW));
                return;
            }
            // The link is made as it was; it is never followed by the restore.
            if (::symlinkat(std::string(target.data(), static_cast<size_t>(n)).c_str(), dstParent, temp.c_str()) != 0) {
                Failed(path, "cannot create it: " + SystemText(errno));
                return;
            }
            break;
        }
        case S_IFIFO:
        case S_IFCHR:
        case S_IFBLK:
            if (::mknodat(dstParent, temp.c_str(), (mst.st_mode & S_IFMT) | 0600, mst.st_rdev) != 0) {
                Failed(path, "cannot create it: " + SystemText(errno));
                return;
            }
            break;
        default:
            return;  // sockets are not backed up
    }
    const bool isLink = S_ISLNK(mst.st_mode);
    bool ok = ApplyMetadata(dstParent, temp, out.Get(), meta, known, path, isLink);
    const struct timespec times[2] = {TimeOf(meta.atimeNs), TimeOf(meta.mtimeNs)};
    if ((out.IsOpen() ? ::futimens(out.Get(), times) : ::utimensat(dstParent, temp.c_str(), times, AT_SYMLINK_NOFOLLOW)) != 0) {
        Failed(path, "cannot set its times: " + SystemText(errno));
        ok = false;
    }
    const bool postSet = ok && !meta.security.empty() && m_helper->IsPostSetRequired();
    int rc = ::renameat2(dstParent, temp.c_str(), dstParent, name.c_str(), m_options.overwrite ? 0 : RENAME_NOREPLACE);
    if (rc != 0 && m_options.overwrite && (errno == EISDIR || errno == ENOTEMPTY || errno == EEXIST)) {
        // A folder where the item must be: it goes, never followed.
        CKoError e = FXPathWalker::RemoveTreeAt(dstParent, name);
        rc = e.IsSuccess() ? ::renameat2(dstParent, temp.c_str(), dstParent, name.c_str(), 0) : -1;
    }
    if (rc != 0) {
        const int err = errno;
        dropTemp();
        Failed(path, err == EEXIST ? "it exists in the target; not replaced (--overwrite replaces it)"
                                   : "cannot put it in place: " + SystemText(err));
        return;
    }
    // Immutable, append-only, capabilities: after everything else.
    if (postSet && (out.IsOpen() ? m_helper->PostSet(out.Get()) : m_helper->PostSetAt(dstParent, name.c_str())) != 0)
        Failed(path, "cannot set its inode flags or capabilities: " + m_helper->lastErrorText());
    if (out.IsOpen()) {
        CKoError e = out.Close();
        if (e.IsError()) {
            Failed(path, "cannot write it: " + e.GetMessage());
            return;
        }
    }
    switch (mst.st_mode & S_IFMT) {
        case S_IFREG:
            ++m_summary.files;
            m_summary.bytes += copied;
            break;
        case S_IFLNK: ++m_summary.links; break;
        default: ++m_summary.others; break;
    }
}

CKoError CRestoreRun::RestoreFolder(int srcParent, const std::string& name, const struct stat& mst, int dstParent,
                                    const std::string& path, const std::vector<std::string_view>& only, size_t depth,
                                    bool exists) {
    bool made = false;
    if (exists) {
        struct stat dst;
        if (::fstatat(dstParent, name.c_str(), &dst, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(dst.st_mode)) {
            if (!m_options.overwrite) {
                Failed(path, "something else than a folder stands there in the target; not replaced (--overwrite replaces it)");
                return CKoError::Success();
            }
            if (::unlinkat(dstParent, name.c_str(), 0) != 0 && errno != ENOENT) {
                Failed(path, "cannot replace what stands there: " + SystemText(errno));
                return CKoError::Success();
            }
            exists = false;
        }
    }
    if (!exists) {
        if (::mkdirat(dstParent, name.c_str(), 0700) != 0 && errno != EEXIST) {
            Failed(path, "cannot create it: " + SystemText(errno));
            return CKoError::Success();
        }
        made = true;
    }
    FXFd dst(::openat(dstParent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dst.IsOpen()) {
        Failed(path, errno == ELOOP || errno == ENOTDIR ? "a link or a file took the folder's place in the target"
                                                        : "cannot open it: " + SystemText(errno));
        return CKoError::Success();
    }
    FXFd src(::openat(srcParent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!src.IsOpen()) {
        Failed(path, "cannot read its backup copy: " + SystemText(errno));
        return CKoError::Success();
    }
    if (m_options.onFolder) m_options.onFolder(path);

    if (!only.empty() && depth < only.size()) {
        CKoError e = RestoreEntry(src.Get(), std::string(only[depth]), dst.Get(), path + "/" + std::string(only[depth]), only,
                                  depth + 1);
        if (e.IsError()) return e;
    } else {
        std::vector<std::string> names;
        CKoError e = FXPathWalker::ListFolder(src.Get(), names);
        if (e.IsError()) {
            Failed(path, "cannot list its backup copy: " + e.GetMessage());
        } else {
            for (const std::string& child : names) {
                e = RestoreEntry(src.Get(), child, dst.Get(), (path == "/" ? "" : path) + "/" + child, only, depth);
                if (e.IsError()) return e;
            }
        }
    }
    ++m_summary.folders;
    // An ancestor of a restored path gets its metadata only when the restore made it; an
    // existing folder keeps its own unless replacing was asked for.
    if (!made && !m_options.overwrite) return CKoError::Success();
    SItemMetadata meta;
    bool known = false;
    LookUp(path, mst, meta, known);
    if (!ApplyMetadata(dstParent, name, dst.Get(), meta, known, path, false)) return CKoError::Success();
    if (!meta.security.empty() && m_helper->IsPostSetRequired()) m_late.push_back({path, meta.security});
    CTimestampData times(m_to + path, true);
    times.SetAccessTime(meta.atimeNs / 1000000000);
    times.SetModifiedTime(meta.mtimeNs / 1000000000);
    times.SetReportingFileName(path);
    CKoError e = m_times->Add(times);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot record the times of a folder");
    return CKoError::Success();
}

CKoError CRestoreRun::RestoreEntry(int srcParent, const std::string& name, int dstParent, const std::string& path,
                                   const std::vector<std::string_view>& only, size_t depth) {
    struct stat mst;
    if (::fstatat(srcParent, name.c_str(), &mst, AT_SYMLINK_NOFOLLOW) != 0) {
        Failed(path, errno == ENOENT ? "not in the backup" : "cannot read its backup copy: " + SystemText(errno));
        return CKoError::Success();
    }
    if (IsMirrorTemporary(name)) {
        SItemMetadata meta;
        bool known = false;
        if (m_store.IsOpen()) m_store.Get(path, meta, known).IgnoreError();
        if (!known) return CKoError::Success();
    }
    struct stat dst;
    bool exists = ::fstatat(dstParent, name.c_str(), &dst, AT_SYMLINK_NOFOLLOW) == 0;
    if (S_ISDIR(mst.st_mode)) return RestoreFolder(srcParent, name, mst, dstParent, path, only, depth, exists);
    if (depth < only.size()) {
        Failed(path, "not a folder in the backup");
        return CKoError::Success();
    }
    RestoreNonFolder(srcParent, name, mst, dstParent, path, exists);
    return CKoError::Success();
}

CKoError CRestoreRun::RestorePrefix(const std::string& prefix) {
    if (prefix == "/") {
        // The target stands for "/": its own metadata is the target's business.
        std::vector<std::string> names;
        CKoError e = FXPathWalker::ListFolder(m_fromFd.Get(), names);
        if (e.IsError()) return e.Push(ZY_HERE, "Cannot list the backup");
        for (const std::string& child : names) {
            e = RestoreEntry(m_fromFd.Get(), child, m_toFd.Get(), "/" + child, {}, 0);
            if (e.IsError()) return e.Push(ZY_HERE);
        }
        return CKoError::Success();
    }
    std::vector<std::string_view> parts;
    FXSafePath::Split(std::string_view(prefix).substr(1), parts);
    return RestoreEntry(m_fromFd.Get(), std::string(parts[0]), m_toFd.Get(), "/" + std::string(parts[0]), parts, 1);
}

// Folders whose immutable or append-only flag (or capability) could not come earlier: after
// their times, reached again by descent from the target.
CKoError CRestoreRun::ApplyLateFolders() {
    FXPathWalker walker;
    CKoError e = walker.OpenFd(m_toFd.Get());
    if (e.IsError()) return e.Push(ZY_HERE);
    for (auto it = m_late.rbegin(); it != m_late.rend(); ++it) {
        int parent = -1;
        std::string_view leaf;
        e = walker.OpenParent(std::string_view(it->path).substr(1), FXPathWalker::Mode{}, parent, leaf);
        FXFd folder;
        if (e.IsSuccess()) {
            folder.Reset(::openat(parent, std::string(leaf).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!folder.IsOpen()) e = FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "open failed");
        }
        if (e.IsError()) {
            Failed(it->path, "cannot reach it to set its inode flags: " + e.GetMessage());
        } else if (m_helper->set(folder.Get(), it->security) != 0 || m_helper->PostSet(folder.Get()) != 0) {
            Failed(it->path, "cannot set its inode flags or capabilities: " + m_helper->lastErrorText());
        }
    }
    return CKoError::Success();
}

CKoError CRestoreRun::WriteResults() {
    std::string text;
    for (const SRestoreFailure& f : m_allFailures) text += f.path + "   [DATA]    [ " + f.reason + " ]   ->  1\n";
    if (text.empty()) return CKoError::Success();
    std::unique_ptr<FXWritableFile> out;
    CKoError e = FXEnv::Current()->NewWritableFile(m_summary.resultsFile, EWriteMode::Append, out);
    if (e.IsSuccess()) e = out->Append(text);
    if (e.IsSuccess()) e = out->Sync();
    if (e.IsSuccess()) e = out->Close();
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot write the restore's results");
    return CKoError::Success();
}

CKoError CRestoreRun::Run() {
    CKoError e = Prepare();
    if (e.IsError()) return e.Push(ZY_HERE);
    std::vector<std::string> prefixes = m_options.paths;
    if (prefixes.empty()) prefixes.push_back("/");
    for (const std::string& prefix : prefixes) {
        e = RestorePrefix(prefix);
        if (e.IsError()) return e.Push(ZY_HERE);
    }
    e = m_times->Close();
    if (e.IsError()) return e.Push(ZY_HERE);
    // The handler lists its own failures in restore.out; they count as items not restored.
    e = m_times->Apply();
    if (e.IsError()) ZYLOG_ERROR("Folder times not applied, error=%s", e.AsString().c_str());
    m_summary.failed += static_cast<uint64_t>(m_times->GetFailedCount());
    if (m_times->GetFailedCount() > 0 && m_summary.failures.size() < CRestoreJob::kMaxListed)
        m_summary.failures.push_back({"", std::to_string(m_times->GetFailedCount()) + " folders whose times could not be set (see " +
                                              m_summary.resultsFile + ")"});
    e = ApplyLateFolders();
    if (e.IsSuccess()) e = WriteResults();
    if (e.IsError()) return e.Push(ZY_HERE);
    return m_store.Close();
}

}  // namespace

CKoError CRestoreJob::Run() {
    CTimeStamp start = CTimeStamp::Now();
    CKoError e = FXPath::MakeRealPath(m_options.resultsDir, m_options.resultsDir);
    if (e.IsError()) return e.Push(ZY_HERE, "No job-results folder");
    // No backup changes the mirror or the store while they are restored.
    FXFolderLock lock;
    e = LockResultsFolder(m_options.resultsDir, lock);
    if (e.IsError()) return e.Push(ZY_HERE);
    CScanJobState state;
    if (state.Load(m_options.resultsDir).IsSuccess())
        m_summary.backupUnfinished = state.hasLastScan && !state.backupDone;
    try {
        CRestoreRun run(m_options, m_summary);
        e = run.Run();
    } catch (const std::bad_alloc&) {
        e = FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "Out of memory during the restore");
    }
    m_summary.seconds = static_cast<double>(CTimeStamp::Now().AsUnixMicroseconds() - start.AsUnixMicroseconds()) / 1e6;
    return e;
}
