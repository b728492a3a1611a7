#include "scan/job/Mirror.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "core/LogWriter.h"
#include "scan/job/SparseCopy.h"

namespace {

bool AsRoot() {
    static const bool root = ::geteuid() == 0;
    return root;
}

std::string SystemText(int err) {
    char buffer[256];
    return strerror_r(err, buffer, sizeof buffer);
}

// The errno an error carries, or 0.
int ErrNoOf(const CKoError& e) { return FXErrorUtil::IsFamily(e, EErrorFamily::ErrNo) ? static_cast<int>(e.GetErrorCode()) : 0; }

// Missing, or something that is not a folder stands on the way: the item is not there.
bool IsGone(int err) { return err == ENOENT || err == ENOTDIR; }

const FXPathWalker::Mode kLookUp{};
const FXPathWalker::Mode kMake{true, true, 0700};

// Owner (as root), mode and times of a folder of the mirror, through a descriptor of it.
CKoError SetFolderAttributes(int destParent, const std::string& leaf, const struct stat& st) {
    FXFd fd(::openat(destParent, leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    std::string viaProc;
    if (!fd.IsOpen() && errno == EACCES) {
        // A folder whose mode bars reading (restored from its source): reach it by its
        // descriptor's /proc name, which names that very folder and no link.
        fd.Reset(::openat(destParent, leaf.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (fd.IsOpen()) viaProc = "/proc/self/fd/" + std::to_string(fd.Get());
    }
    if (!fd.IsOpen()) {
        if (IsGone(errno) || errno == ELOOP) return CKoError::Success();
        return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "Cannot open mirror folder, Name=[%s]", leaf.c_str());
    }
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    const char* p = viaProc.c_str();
    if (AsRoot() && (viaProc.empty() ? ::fchown(fd.Get(), st.st_uid, st.st_gid) : ::chown(p, st.st_uid, st.st_gid)) != 0)
        return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "chown failed, Name=[%s]", leaf.c_str());
    if ((viaProc.empty() ? ::fchmod(fd.Get(), st.st_mode & 07777) : ::chmod(p, st.st_mode & 07777)) != 0)
        return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "chmod failed, Name=[%s]", leaf.c_str());
    if ((viaProc.empty() ? ::futimens(fd.Get(), times) : ::utimensat(AT_FDCWD, p, times, 0)) != 0)
        return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "Cannot set folder times, Name=[%s]", leaf.c_str());
    return CKoError::Success();
}

}  // namespace

CKoError CMirror::Open(const std::string& dest) {
    m_dest = dest;
    CKoError e = FXPathWalker::OpenByDescent(dest, m_destFd);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot open the destination, Folder=[%s]", dest.c_str());
    return CKoError::Success();
}

CKoError CMirror::Prepare(CCursor& cursor) {
    if (cursor.open) return CKoError::Success();
    if (!m_destFd.IsOpen()) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "Mirror not open");
    CKoError e = cursor.dest.OpenFd(m_destFd.Get());
    if (e.IsSuccess()) e = cursor.source.Open("/");
    if (e.IsError()) return e.Push(ZY_HERE);
    cursor.open = true;
    return CKoError::Success();
}

std::string CMirror::TempName() {
    // Unique within the process and across processes; never a name the content can hold for long
    // (a leftover of a killed backup is swept by the next full one).
    return ".fsscan-" + std::to_string(::getpid()) + "-" + std::to_string(++m_tempCounter) + ".tmp";
}

CKoError CMirror::Install(int destParent, const std::string& temp, const std::string& leaf) {
    if (::renameat(destParent, temp.c_str(), destParent, leaf.c_str()) == 0) return CKoError::Success();
    int err = errno;
    if (err == EISDIR || err == ENOTEMPTY || err == EEXIST) {
        // A folder where the item now is something else: the folder goes.
        CKoError e = FXPathWalker::RemoveTreeAt(destParent, leaf);
        if (e.IsSuccess() && ::renameat(destParent, temp.c_str(), destParent, leaf.c_str()) == 0) return CKoError::Success();
        err = e.IsError() ? ErrNoOf(e) : errno;
        if (e.IsError()) {
            ::unlinkat(destParent, temp.c_str(), 0);
            return e.Push(ZY_HERE, "Cannot replace mirror folder, Name=[%s]", leaf.c_str());
        }
    }
    ::unlinkat(destParent, temp.c_str(), 0);
    return FXErrorUtil::ErrorErrNo(ZY_HERE, err, "rename failed, Name=[%s]", leaf.c_str());
}

CKoError CMirror::CopyFile(CCursor& cursor, int sourceParent, const std::string& leaf, const struct stat& linkStat,
                           int destParent, const std::string& destLeaf, bool& sourceError, std::string& sourceReason,
                           SMirrorCounters& counters, SMirrorCopied* done) {
    // O_NONBLOCK: should the file have become a fifo meanwhile, the open must not wait for a writer.
    FXFd in(::openat(sourceParent, leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
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
    if (::fstat(in.Get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_ino != linkStat.st_ino ||
        st.st_dev != linkStat.st_dev) {
        sourceError = true;
        sourceReason = "the file changed while it was backed up";
        return CKoError::Success();
    }
    const std::string temp = TempName();
    FXFd out(::openat(destParent, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.IsOpen())
        return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "Cannot create mirror file, Name=[%s]", destLeaf.c_str());
    auto dropTemp = [&] {
        out.Reset();
        ::unlinkat(destParent, temp.c_str(), 0);
    };

    uint64_t copied = 0;
    bool kernelCopy = true;
    static thread_local std::vector<char> buffer;
    // A file with holes keeps them in the mirror (and so in a restore).
    const bool sparse = CSparseCopy::HasHoles(st.st_size, st.st_blocks);
    if (sparse) {
        bool readError = false;
        if (const int err = CSparseCopy::Copy(in.Get(), out.Get(), st.st_size, copied, readError)) {
            dropTemp();
            if (!readError) return FXErrorUtil::ErrorErrNo(ZY_HERE, err, "Cannot write mirror file, Name=[%s]", destLeaf.c_str());
            sourceError = true;
            sourceReason = SystemText(err);
            return CKoError::Success();
        }
    }
    while (!sparse) {
        ssize_t n;
        if (kernelCopy) {
            n = ::copy_file_range(in.Get(), nullptr, out.Get(), nullptr, 1 << 30, 0);
            if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
                kernelCopy = false;
                continue;
            }
            if (n < 0) {
                const int copyError = errno;
                if (copyError == EINTR) continue;
                // copy_file_range does not say which side failed: ask the source alone.
                char probe;
                if (::pread(in.Get(), &probe, 1, static_cast<off_t>(copied)) < 0) {
                    const int readError = errno;
                    dropTemp();
                    sourceError = true;
                    sourceReason = SystemText(readError);
                    return CKoError::Success();
                }
                dropTemp();
                return FXErrorUtil::ErrorErrNo(ZY_HERE, copyError, "Cannot write mirror file, Name=[%s]", destLeaf.c_str());
            }
        } else {
            if (buffer.empty()) buffer.resize(1 << 18);
            n = ::read(in.Get(), buffer.data(), buffer.size());
            if (n < 0) {
                const int readError = errno;
                if (readError == EINTR) continue;
                dropTemp();
                sourceError = true;
                sourceReason = SystemText(readError);
                return CKoError::Success();
            }
            if (n > 0) {
                CKoError e = FXFile::ZYWriteFile(out, buffer.data(), static_cast<size_t>(n));
                if (e.IsError()) {
                    dropTemp();
                    return e.Push(ZY_HERE, "Cannot write mirror file, Name=[%s]", destLeaf.c_str());
                }
            }
        }
        if (n == 0) break;
        copied += static_cast<uint64_t>(n);
    }
    if (cursor.m_observer) {
        CKoError e = cursor.m_observer->OnFileRead(in.Get(), st);
        if (e.IsError()) {
            dropTemp();
            return e.Push(ZY_HERE, "Name=[%s]", destLeaf.c_str());
        }
    }
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    const char* failed = nullptr;
    if (AsRoot() && ::fchown(out.Get(), st.st_uid, st.st_gid) != 0) failed = "chown";
    if (!failed && ::fchmod(out.Get(), st.st_mode & 07777) != 0) failed = "chmod";
    if (!failed && ::futimens(out.Get(), times) != 0) failed = "Setting the times";
    if (failed) {
        const int err = errno;
        dropTemp();
        return FXErrorUtil::ErrorErrNo(ZY_HERE, err, "%s failed on mirror file, Name=[%s]", failed, destLeaf.c_str());
    }
    CKoError e = out.Close();
    if (e.IsError()) {
        ::unlinkat(destParent, temp.c_str(), 0);
        return e.Push(ZY_HERE, "Cannot write mirror file, Name=[%s]", destLeaf.c_str());
    }
    e = Install(destParent, temp, destLeaf);
    if (e.IsError()) return e.Push(ZY_HERE);
    ++counters.files;
    counters.bytes += copied;
    if (done) *done = SMirrorCopied{true, st};
    return CKoError::Success();
}

CKoError CMirror::CopyItem(CCursor& cursor, const std::string& source, bool& sourceError, std::string& sourceReason,
                           SMirrorCounters& counters, SMirrorCopied* copied) {
    sourceError = false;
    if (copied) copied->done = false;
    CKoError e = Prepare(cursor);
    if (e.IsError()) return e.Push(ZY_HERE);
    if (source == "/") {
        ++counters.folders;  // DEST itself mirrors "/"
        return CKoError::Success();
    }
    const std::string_view relative = std::string_view(source).substr(1);

    // The source: its folder by descent, the item by fstatat. A kept descriptor may be stale (its
    // folder renamed or removed): a miss is looked at again from the top once.
    int sourceParent = -1;
    std::string_view leafView;
    struct stat st;
    for (int attempt = 0;; ++attempt) {
        e = cursor.source.OpenParent(relative, kLookUp, sourceParent, leafView);
        int err = e.IsError() ? ErrNoOf(e) : 0;
        if (e.IsSuccess() && ::fstatat(sourceParent, std::string(leafView).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            err = errno;
        if (err == 0 && e.IsSuccess()) break;
        if (IsGone(err) && attempt == 0) {
            cursor.source.Forget();
            continue;
        }
        if (IsGone(err)) {
            ++counters.vanished;
            return CKoError::Success();
        }
        sourceError = true;
        sourceReason = err ? SystemText(err) : e.GetMessage();
        return CKoError::Success();
    }
    const std::string leaf(leafView);

    for (int attempt = 0;; ++attempt) {
        int destParent = -1;
        std::string_view destLeafView;
        e = cursor.dest.OpenParent(relative, kMake, destParent, destLeafView);
        if (e.IsError()) return e.Push(ZY_HERE, "Cannot make the mirror's folder for [%s]", source.c_str());
        const std::string destLeaf(destLeafView);
        e = CopyOne(cursor, sourceParent, leaf, st, destParent, destLeaf, sourceError, sourceReason, counters, copied);
        // A kept descriptor of a folder that went meanwhile: walk again once.
        if (attempt == 0 && ErrNoOf(e) == ENOENT) {
            cursor.dest.Forget();
            continue;
        }
        if (e.IsError()) return e.Push(ZY_HERE, "Path=[%s]", source.c_str());
        if (cursor.m_observer && !sourceError) {
            e = cursor.m_observer->OnItemCopied(source, sourceParent, leaf, st, sourceError, sourceReason);
            if (e.IsError()) return e.Push(ZY_HERE, "Path=[%s]", source.c_str());
        }
        return CKoError::Success();
    }
}

CKoError CMirror::CopyOne(CCursor& cursor, int sourceParent, const std::string& leaf, const struct stat& st,
                          int destParent, const std::string& destLeaf, bool& sourceError, std::string& sourceReason,
                          SMirrorCounters& counters, SMirrorCopied* copied) {
    switch (st.st_mode & S_IFMT) {
        case S_IFREG:
            return CopyFile(cursor, sourceParent, leaf, st, destParent, destLeaf, sourceError, sourceReason, counters,
                            copied);
        case S_IFDIR: {
            FXFd folder(::openat(destParent, destLeaf.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!folder.IsOpen()) {
                int err = errno;
                if (err == ENOTDIR || err == ELOOP) {
                    // A file or a link where the folder must be: removed, never followed.
                    if (::unlinkat(destParent, destLeaf.c_str(), 0) != 0 && errno != ENOENT)
                        return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "unlink failed, Name=[%s]", destLeaf.c_str());
                    err = ENOENT;
                }
                if (err != ENOENT) return FXErrorUtil::ErrorErrNo(ZY_HERE, err, "Cannot open mirror folder, Name=[%s]", destLeaf.c_str());
                if (::mkdirat(destParent, destLeaf.c_str(), 0700) != 0 && errno != EEXIST)
                    return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "mkdir failed, Name=[%s]", destLeaf.c_str());
            }
            ++counters.folders;
            if (copied) *copied = SMirrorCopied{true, st};
            return CKoError::Success();
        }
        case S_IFLNK: {
            std::vector<char> target(static_cast<size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1);
            ssize_t n = ::readlinkat(sourceParent, leaf.c_str(), target.data(), target.size());
            if (n < 0 || static_cast<size_t>(n) >= target.size()) {
                if (n < 0 && errno == ENOENT) {
                    ++counters.vanished;
                    return CKoError::Success();
                }
                sourceError = true;
                sourceReason = n < 0 ? SystemText(errno) : "the link changed while it was backed up";
                return CKoError::Success();
            }
            const std::string temp = TempName();
            if (::symlinkat(std::string(target.data(), static_cast<size_t>(n)).c_str(), destParent, temp.c_str()) != 0)
                return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "symlink failed, Name=[%s]", destLeaf.c_str());
            CKoError e = SetEntryAttributes(destParent, temp, st, false);
            if (e.IsSuccess()) e = Install(destParent, temp, destLeaf);
            if (e.IsError()) {
                ::unlinkat(destParent, temp.c_str(), 0);
                return e.Push(ZY_HERE, "Name=[%s]", destLeaf.c_str());
            }
            ++counters.links;
            if (copied) *copied = SMirrorCopied{true, st};
            return CKoError::Success();
        }
        case S_IFIFO:
        case S_IFCHR:
        case S_IFBLK: {
            const std::string temp = TempName();
            if (::mknodat(destParent, temp.c_str(), (st.st_mode & S_IFMT) | 0600, st.st_rdev) != 0)
                return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "mknod failed, Name=[%s]", destLeaf.c_str());
            CKoError e = SetEntryAttributes(destParent, temp, st, true);
            if (e.IsSuccess()) e = Install(destParent, temp, destLeaf);
            if (e.IsError()) {
                ::unlinkat(destParent, temp.c_str(), 0);
                return e.Push(ZY_HERE, "Name=[%s]", destLeaf.c_str());
            }
            ++counters.others;
            if (copied) *copied = SMirrorCopied{true, st};
            return CKoError::Success();
        }
        default:
            // A socket has no content to keep; it is recreated by whoever listens on it.
            ZYLOG(2, "Not backing up a socket, Name=[%s]", leaf.c_str());
            return CKoError::Success();
    }
}

CKoError CMirror::SetEntryAttributes(int destParent, const std::string& name, const struct stat& st, bool withMode) {
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (AsRoot() && ::fchownat(destParent, name.c_str(), st.st_uid, st.st_gid, AT_SYMLINK_NOFOLLOW) != 0)
        return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "chown failed, Name=[%s]", name.c_str());
    if (withMode && ::fchmodat(destParent, name.c_str(), st.st_mode & 07777, AT_SYMLINK_NOFOLLOW) != 0)
        return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "chmod failed, Name=[%s]", name.c_str());
    if (::utimensat(destParent, name.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
        return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "Setting the times failed, Name=[%s]", name.c_str());
    return CKoError::Success();
}

CKoError CMirror::Remove(CCursor& cursor, const std::string& source, SMirrorCounters& counters) {
    CKoError e = Prepare(cursor);
    if (e.IsError()) return e.Push(ZY_HERE);
    if (source == "/")
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "The mirror of / is never removed");
    int destParent = -1;
    std::string_view leaf;
    cursor.dest.Forget();  // what is removed may be a kept folder
    e = cursor.dest.OpenParent(std::string_view(source).substr(1), kLookUp, destParent, leaf);
    if (e.IsSuccess()) e = FXPathWalker::RemoveTreeAt(destParent, std::string(leaf));
    cursor.dest.Forget();
    // Nothing there (or a link where a folder of the path was): nothing of ours to remove.
    if (e.IsError() && !IsGone(ErrNoOf(e))) return e.Push(ZY_HERE, "Cannot remove from the mirror, Path=[%s]", source.c_str());
    if (cursor.m_observer) {
        e = cursor.m_observer->OnItemRemoved(source);
        if (e.IsError()) return e.Push(ZY_HERE, "Path=[%s]", source.c_str());
    }
    ++counters.deleted;
    return CKoError::Success();
}

CKoError CMirror::ApplyFolderAttributes(CCursor& cursor, const std::string& source) {
    CKoError e = Prepare(cursor);
    if (e.IsError()) return e.Push(ZY_HERE);
    struct stat st;
    if (source == "/") {
        if (::fstatat(cursor.source.BaseFd(), "", &st, AT_EMPTY_PATH) != 0) return CKoError::Success();
        // DEST itself: its parent is not ours to walk; its own descriptor serves.
        std::string viaProc = "/proc/self/fd/" + std::to_string(m_destFd.Get());
        if (AsRoot() && ::chown(viaProc.c_str(), st.st_uid, st.st_gid) != 0)
            return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "chown failed, Folder=[%s]", m_dest.c_str());
        if (::chmod(viaProc.c_str(), st.st_mode & 07777) != 0)
            return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "chmod failed, Folder=[%s]", m_dest.c_str());
        struct timespec times[2] = {st.st_atim, st.st_mtim};
        if (::utimensat(AT_FDCWD, viaProc.c_str(), times, 0) != 0)
            return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "Cannot set folder times, Folder=[%s]", m_dest.c_str());
        return CKoError::Success();
    }
    const std::string_view relative = std::string_view(source).substr(1);
    int sourceParent = -1, destParent = -1;
    std::string_view leaf;
    e = cursor.source.OpenParent(relative, kLookUp, sourceParent, leaf);
    if (e.IsError() || ::fstatat(sourceParent, std::string(leaf).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISDIR(st.st_mode))
        return CKoError::Success();
    e = cursor.dest.OpenParent(relative, kLookUp, destParent, leaf);
    if (e.IsError()) return IsGone(ErrNoOf(e)) ? CKoError::Success() : e.Push(ZY_HERE);
    e = SetFolderAttributes(destParent, std::string(leaf), st);
    if (e.IsError()) return e.Push(ZY_HERE, "Path=[%s]", source.c_str());
    return CKoError::Success();
}

CKoError CMirror::Sweep(CCursor& cursor, const std::string& source, const std::unordered_set<std::string>& keep,
                        SMirrorCounters& counters, const FBeforeRemove& beforeRemove) {
    CKoError e = Prepare(cursor);
    if (e.IsError()) return e.Push(ZY_HERE);
    int folder = -1;
    e = cursor.dest.OpenFolder(source == "/" ? std::string_view() : std::string_view(source).substr(1), kLookUp, folder);
    if (e.IsError()) return IsGone(ErrNoOf(e)) ? CKoError::Success() : e.Push(ZY_HERE);
    std::vector<std::string> names;
    e = FXPathWalker::ListFolder(folder, names);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot list mirror folder, Path=[%s]", source.c_str());
    for (const std::string& name : names) {
        if (keep.count(name)) continue;
        ZYLOG(3, "Not collected by the full job: removed from the mirror, Folder=[%s], Name=[%s]", source.c_str(), name.c_str());
        if (beforeRemove) {
            e = beforeRemove(source == "/" ? "/" + name : source + "/" + name);
            if (e.IsError()) return e.Push(ZY_HERE);
        }
        e = FXPathWalker::RemoveTreeAt(folder, name);
        if (e.IsError()) return e.Push(ZY_HERE, "Cannot remove from the mirror, Folder=[%s]", source.c_str());
        ++counters.deleted;
    }
    cursor.dest.Forget();
    return CKoError::Success();
}
