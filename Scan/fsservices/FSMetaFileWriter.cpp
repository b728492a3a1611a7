// A backup reader's FSMeta file: the ids and change times of files whose access time it put back.
#include "scan/fsservices/FSMetaFileWriter.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "core/StringUtil.h"

namespace {
constexpr size_t kFlushBytes = 64 * 1024;

int64_t Nanos(const struct timespec& t) { return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec; }
}  // namespace

CFSMetaFileWriter::~CFSMetaFileWriter() { Close().IgnoreError(); }

CKoError CFSMetaFileWriter::Open(const std::string& jobResultsDir, const std::string& guid, const std::string& name) {
    if (guid.empty() || guid.find_first_of("_/") != std::string::npos || name.find('/') != std::string::npos)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "Bad FSMeta file name [%s_%s]",
                                       guid.c_str(), name.c_str());
    FXEnv* env = FXEnv::Current();
    std::string folder = jobResultsDir;
    for (const char* part : {"/2", "/FSMetaFiles"}) {
        folder += part;
        CKoError e = env->CreateDir(folder, 0700);
        if (e.IsError() && !FXErrorUtil::IsWin32(e, ZyWin32::ERROR_ALREADY_EXISTS)) return e.Push(ZY_HERE);
    }
    m_path = folder + "/" + guid + "_" + name + ".zyf";
    CKoError e = env->NewWritableFile(m_path, EWriteMode::Append, m_file);
    return e.IsError() ? e.Push(ZY_HERE) : e;
}

CKoError CFSMetaFileWriter::Record(uint64_t fileId, int64_t ctimeNs) {
    if (!m_file) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "FSMeta file not open");
    char line[48];
    const int n = std::snprintf(line, sizeof line, "%llu\t%lld\n", static_cast<unsigned long long>(fileId),
                                static_cast<long long>(ctimeNs < 0 ? 0 : ctimeNs));
    m_pending.append(line, static_cast<size_t>(n));
    if (m_pending.size() < kFlushBytes) return CKoError::Success();
    CKoError e = m_file->Append(m_pending);
    m_pending.clear();
    return e.IsError() ? e.Push(ZY_HERE) : e;
}

CKoError CFSMetaFileWriter::PreserveAccessTime(int fd, const struct stat& before, bool* recorded) {
    if (recorded) *recorded = false;
    struct stat now;
    if (::fstat(fd, &now) != 0) return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "fstat");
    // Changed while it was read: what was read may be stale, so the next scan must see a change.
    const bool unchanged = Nanos(now.st_ctim) == Nanos(before.st_ctim);
    const struct timespec times[2] = {before.st_atim, {0, UTIME_OMIT}};
    if (::futimens(fd, times) != 0) return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "futimens");
    if (!unchanged) return CKoError::Success();
    if (::fstat(fd, &now) != 0) return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "fstat");
    // A write or a change of owner or mode between the two looks would show here.
    if (Nanos(now.st_mtim) != Nanos(before.st_mtim) || now.st_size != before.st_size || now.st_mode != before.st_mode ||
        now.st_uid != before.st_uid || now.st_gid != before.st_gid || now.st_nlink != before.st_nlink)
        return CKoError::Success();
    if (recorded) *recorded = true;
    return Record(now.st_ino, Nanos(now.st_ctim));
}

CKoError CFSMetaFileWriter::Close() {
    if (!m_file) return CKoError::Success();
    CKoError e;
    if (!m_pending.empty()) e = m_file->Append(m_pending);
    m_pending.clear();
    if (e.IsSuccess()) e = m_file->Sync();
    CKoError c = m_file->Close();
    m_file.reset();
    if (e.IsSuccess()) e = c;
    return e.IsError() ? e.Push(ZY_HERE) : e;
}
