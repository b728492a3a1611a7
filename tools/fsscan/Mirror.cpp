#include "Mirror.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "core/File.h"
#include "core/LogWriter.h"
#include "core/Path.h"

namespace {

bool AsRoot() {
    static const bool root = ::geteuid() == 0;
    return root;
}

std::string SystemText(int err) {
    char buffer[256];
    return strerror_r(err, buffer, sizeof buffer);
}

int RemoveOne(const char* path, const struct stat*, int type, struct FTW*) {
    int rc = (type == FTW_DP || type == FTW_D) ? ::rmdir(path) : ::unlink(path);
    return (rc == 0 || errno == ENOENT) ? 0 : errno;
}

}  // namespace

CKoError RemoveTree(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return CKoError::Success();
        return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "lstat failed, Path=[%s]", path.c_str());
    }
    if (!S_ISDIR(st.st_mode)) {
        if (::unlink(path.c_str()) != 0 && errno != ENOENT)
            return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "unlink failed, Path=[%s]", path.c_str());
        return CKoError::Success();
    }
    int rc = ::nftw(path.c_str(), RemoveOne, 32, FTW_DEPTH | FTW_PHYS);
    if (rc != 0) return FXErrorUtil::ErrorErrNo(ZY_HERE, rc > 0 ? rc : errno, "Cannot remove folder, Path=[%s]", path.c_str());
    return CKoError::Success();
}

CKoError CMirror::MakeParents(const std::string& dest) {
    std::string parent, name;
    if (FXPath::SplitParentPath(dest, parent, name).IsError()) return CKoError::Success();
    struct stat st;
    if (::lstat(parent.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return CKoError::Success();
        // A file where the mirror needs a folder: the source changed type.
        CKoError e = RemoveTree(parent);
        if (e.IsError()) return e.Push(ZY_HERE);
    }
    CKoError e = MakeParents(parent);
    if (e.IsError()) return e;
    if (::mkdir(parent.c_str(), 0755) != 0 && errno != EEXIST)
        return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "mkdir failed, Path=[%s]", parent.c_str());
    return CKoError::Success();
}

CKoError CMirror::ClearForType(const std::string& dest, mode_t wantedType) {
    struct stat st;
    if (::lstat(dest.c_str(), &st) != 0) {
        if (errno == ENOENT) return MakeParents(dest);
        if (errno == ENOTDIR) {
            CKoError e = MakeParents(dest);
            if (e.IsError()) return e;
            return CKoError::Success();
        }
        return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "lstat failed, Path=[%s]", dest.c_str());
    }
    if ((st.st_mode & S_IFMT) == wantedType && (wantedType == S_IFDIR || wantedType == S_IFREG)) return CKoError::Success();
    return RemoveTree(dest);
}

CKoError CMirror::MakeFolder(const std::string& dest) {
    CKoError e = ClearForType(dest, S_IFDIR);
    if (e.IsError()) return e.Push(ZY_HERE);
    if (::mkdir(dest.c_str(), 0700) != 0 && errno != EEXIST)
        return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "mkdir failed, Path=[%s]", dest.c_str());
    return CKoError::Success();
}

CKoError CMirror::CopyFile(const std::string& source, const std::string& dest, const struct stat& linkStat,
                           bool& sourceError, std::string& sourceReason, SMirrorCounters& counters) {
    // O_NONBLOCK: should the file have become a fifo meanwhile, the open must not wait for a writer.
    FXFd in(::open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!in.IsOpen()) {
        if (errno == ENOENT) {
            ++counters.vanished;
            return CKoError::Success();
        }
        sourceError = true;
        sourceReason = SystemText(errno);
        return CKoError::Success();
    }
    struct stat st;
    if (::fstat(in.Get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_ino != linkStat.st_ino) {
        sourceError = true;
        sourceReason = "the file changed while it was backed up";
        return CKoError::Success();
    }
    CKoError e = ClearForType(dest, S_IFREG);
    if (e.IsError()) return e.Push(ZY_HERE);
    FXFd out(::open(dest.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!out.IsOpen()) return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "Cannot create mirror file, Path=[%s]", dest.c_str());

    uint64_t copied = 0;
    bool kernelCopy = true;
    static thread_local std::vector<char> buffer;
    for (;;) {
        ssize_t n;
        if (kernelCopy) {
            n = ::copy_file_range(in.Get(), nullptr, out.Get(), nullptr, 1 << 30, 0);
            if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
                kernelCopy = false;
                continue;
            }
            if (n < 0) {
                // copy_file_range does not say which side failed: ask the source alone.
                char probe;
                if (::pread(in.Get(), &probe, 1, static_cast<off_t>(copied)) < 0) {
                    sourceError = true;
                    sourceReason = SystemText(errno);
                    return CKoError::Success();
                }
                return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "Cannot write mirror file, Path=[%s]", dest.c_str());
            }
        } else {
            if (buffer.empty()) buffer.resize(1 << 18);
            n = ::read(in.Get(), buffer.data(), buffer.size());
            if (n < 0) {
                if (errno == EINTR) continue;
                sourceError = true;
                sourceReason = SystemText(errno);
                return CKoError::Success();
            }
            if (n > 0) {
                e = FXFile::ZYWriteFile(out, buffer.data(), static_cast<size_t>(n));
                if (e.IsError()) return e.Push(ZY_HERE, "Cannot write mirror file, Path=[%s]", dest.c_str());
            }
        }
        if (n == 0) break;
        copied += static_cast<uint64_t>(n);
    }
    if (AsRoot()) ::fchown(out.Get(), st.st_uid, st.st_gid);
    ::fchmod(out.Get(), st.st_mode & 07777);
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (::futimens(out.Get(), times) != 0)
        return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "Cannot set mirror file times, Path=[%s]", dest.c_str());
    e = out.Close();
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot write mirror file, Path=[%s]", dest.c_str());
    ++counters.files;
    counters.bytes += copied;
    return CKoError::Success();
}

CKoError CMirror::CopyItem(const std::string& source, bool& sourceError, std::string& sourceReason,
                           SMirrorCounters& counters) {
    sourceError = false;
    const std::string dest = DestPathOf(source);
    struct stat st;
    if (::lstat(source.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            ++counters.vanished;
            return CKoError::Success();
        }
        sourceError = true;
        sourceReason = SystemText(errno);
        return CKoError::Success();
    }
    CKoError e;
    switch (st.st_mode & S_IFMT) {
        case S_IFREG:
            return CopyFile(source, dest, st, sourceError, sourceReason, counters);
        case S_IFDIR:
            e = MakeFolder(dest);
            if (e.IsError()) return e.Push(ZY_HERE);
            ++counters.folders;
            return CKoError::Success();
        case S_IFLNK: {
            std::vector<char> target(static_cast<size_t>(st.st_size) + 1);
            ssize_t n = ::readlink(source.c_str(), target.data(), target.size());
            if (n < 0 || static_cast<size_t>(n) >= target.size()) {
                sourceError = true;
                sourceReason = n < 0 ? SystemText(errno) : "the link changed while it was backed up";
                return CKoError::Success();
            }
            e = ClearForType(dest, S_IFLNK);
            if (e.IsError()) return e.Push(ZY_HERE);
            if (::symlink(std::string(target.data(), static_cast<size_t>(n)).c_str(), dest.c_str()) != 0)
                return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "symlink failed, Path=[%s]", dest.c_str());
            ++counters.links;
            break;
        }
        case S_IFIFO:
        case S_IFCHR:
        case S_IFBLK:
            e = ClearForType(dest, st.st_mode & S_IFMT);
            if (e.IsError()) return e.Push(ZY_HERE);
            if (::mknod(dest.c_str(), st.st_mode, st.st_rdev) != 0)
                return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "mknod failed, Path=[%s]", dest.c_str());
            ++counters.others;
            break;
        default:
            // A socket has no content to keep; it is recreated by whoever listens on it.
            ZYLOG(2, "Not backing up a socket, Path=[%s]", source.c_str());
            return CKoError::Success();
    }
    if (AsRoot()) ::lchown(dest.c_str(), st.st_uid, st.st_gid);
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::utimensat(AT_FDCWD, dest.c_str(), times, AT_SYMLINK_NOFOLLOW);
    return CKoError::Success();
}

CKoError CMirror::Remove(const std::string& source, SMirrorCounters& counters) {
    CKoError e = RemoveTree(DestPathOf(source));
    if (e.IsError()) return e.Push(ZY_HERE);
    ++counters.deleted;
    return CKoError::Success();
}

CKoError CMirror::ApplyFolderAttributes(const std::string& source) {
    struct stat st;
    if (::lstat(source.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return CKoError::Success();
    const std::string dest = DestPathOf(source);
    struct stat mirrored;
    if (::lstat(dest.c_str(), &mirrored) != 0 || !S_ISDIR(mirrored.st_mode)) return CKoError::Success();
    if (AsRoot()) ::lchown(dest.c_str(), st.st_uid, st.st_gid);
    if (::chmod(dest.c_str(), st.st_mode & 07777) != 0)
        return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "chmod failed, Path=[%s]", dest.c_str());
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (::utimensat(AT_FDCWD, dest.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
        return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "Cannot set folder times, Path=[%s]", dest.c_str());
    return CKoError::Success();
}
