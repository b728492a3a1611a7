#include "core/PathWalker.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/SafePath.h"

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// The walk itself needs only search permission on each folder, as a path lookup does.
constexpr int kStepFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// Folders below a removal point that keep their descriptor open; deeper ones are opened again
// from the deepest kept one, so that a tree of any depth is removed within a few descriptors.
constexpr size_t kKeptRemovalLevels = 48;

int OpenAt(int dirFd, const char* name, int flags = kFolderFlags) {
    int fd;
    do {
        fd = ::openat(dirFd, name, flags);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

CKoError StepError(const FXCodeLocation& here, int err, std::string_view name) {
    return FXErrorUtil::ErrorErrNo(here, err, "Cannot open folder, Name=[%.*s]", static_cast<int>(name.size()), name.data());
}

// One component: open it, making or replacing it as the mode says.
CKoError Step(int parentFd, const std::string& name, const FXPathWalker::Mode& mode, FXFd& out) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        int fd = OpenAt(parentFd, name.c_str(), kStepFlags);
        if (fd >= 0) {
            out.Reset(fd);
            return CKoError::Success();
        }
        int err = errno;
        if (err == ENOENT && mode.create) {
            if (::mkdirat(parentFd, name.c_str(), mode.folderMode) != 0 && errno != EEXIST)
                return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "mkdir failed, Name=[%s]", name.c_str());
            continue;
        }
        if ((err == ENOTDIR || err == ELOOP) && mode.replace) {
            // A file or a link where a folder must be: the link is removed, never followed.
            if (::unlinkat(parentFd, name.c_str(), 0) != 0 && errno != ENOENT)
                return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "Cannot remove what stands where a folder must be, Name=[%s]",
                                               name.c_str());
            if (!mode.create) return StepError(ZY_HERE, ENOENT, name);
            continue;
        }
        return StepError(ZY_HERE, err, name);
    }
    return StepError(ZY_HERE, EAGAIN, name);
}

// Reads up to `max` names of the folder from its start.
CKoError ReadSomeNames(int dirFd, size_t max, std::vector<std::string>& names) {
    names.clear();
    // A readable descriptor of the same folder (the one given may be O_PATH).
    int dupFd = OpenAt(dirFd, ".");
    if (dupFd < 0) return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "Cannot open folder for listing");
    DIR* dir = ::fdopendir(dupFd);
    if (!dir) {
        int err = errno;
        ::close(dupFd);
        return FXErrorUtil::ErrorErrNo(ZY_HERE, err, "fdopendir failed");
    }
    ::rewinddir(dir);
    int err = 0;
    while (names.size() < max) {
        errno = 0;
        struct dirent* entry = ::readdir(dir);
        if (!entry) {
            err = errno;
            break;
        }
        const char* n = entry->d_name;
        if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0))) continue;
        names.emplace_back(n);
    }
    ::closedir(dir);
    if (err != 0) return FXErrorUtil::ErrorErrNo(ZY_HERE, err, "readdir failed");
    return CKoError::Success();
}

// Removes everything in the folder `fd`. `chain` names the folders from the deepest kept
// descriptor `anchorFd` down to this one, for reopening the folder when its own descriptor
// was given up to bound the number open.
class CTreeRemover {
public:
    CKoError EmptyFolder(int fd, size_t depth) {
        std::vector<std::string> names;
        for (;;) {
            // In batches: a folder of millions of entries is never listed whole.
            CKoError e = ReadSomeNames(fd, 4096, names);
            if (e.IsError()) return e.Push(ZY_HERE);
            if (names.empty()) return CKoError::Success();
            for (const std::string& name : names) {
                if (::unlinkat(fd, name.c_str(), 0) == 0 || errno == ENOENT) continue;
                if (errno != EISDIR && errno != EPERM)
                    return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "unlink failed, Name=[%s]", name.c_str());
                e = RemoveFolder(fd, name, depth + 1);
                if (e.IsError()) return e;
            }
        }
    }

    // `parentFd` is -1 beyond the kept levels: the parent is opened again from the anchor.
    CKoError RemoveFolder(int parentFd, const std::string& name, size_t depth) {
        FXFd parentHolder;
        if (parentFd < 0) {
            CKoError e = Reopen(m_chain.size(), parentHolder);
            if (e.IsError()) return e.Push(ZY_HERE);
            parentFd = parentHolder.Get();
        }
        FXFd child(OpenAt(parentFd, name.c_str()));
        if (!child.IsOpen()) {
            int err = errno;
            if (err == ENOENT) return CKoError::Success();
            if (err == ENOTDIR || err == ELOOP) {
                // Replaced by a file or a link meanwhile: remove that, never follow it.
                if (::unlinkat(parentFd, name.c_str(), 0) == 0 || errno == ENOENT) return CKoError::Success();
                err = errno;
            }
            return FXErrorUtil::ErrorErrNo(ZY_HERE, err, "Cannot remove, Name=[%s]", name.c_str());
        }
        CKoError e;
        if (depth < kKeptRemovalLevels) {
            e = EmptyFolder(child.Get(), depth);
        } else {
            // Beyond the kept levels folders are reached from the anchor by name.
            if (depth == kKeptRemovalLevels) m_anchor = parentFd;
            child.Reset();
            parentHolder.Reset();
            m_chain.push_back(name);
            e = EmptyDeep(depth);
            m_chain.pop_back();
            if (e.IsSuccess() && depth > kKeptRemovalLevels) {
                e = Reopen(m_chain.size(), parentHolder);
                parentFd = parentHolder.Get();
            }
        }
        if (e.IsError()) return e.Push(ZY_HERE, "Name=[%s]", name.c_str());
        if (::unlinkat(parentFd, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT)
            return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "rmdir failed, Name=[%s]", name.c_str());
        return CKoError::Success();
    }

private:
    // The folder m_chain[0..count-1] below the anchor (count 0: the anchor itself, duplicated).
    CKoError Reopen(size_t count, FXFd& out) {
        FXFd current(::dup(m_anchor));
        if (!current.IsOpen()) return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "dup failed");
        for (size_t i = 0; i < count; ++i) {
            FXFd next(OpenAt(current.Get(), m_chain[i].c_str()));
            if (!next.IsOpen()) return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "Cannot open folder, Name=[%s]", m_chain[i].c_str());
            current = std::move(next);
        }
        out = std::move(current);
        return CKoError::Success();
    }

    // Empties the folder at the end of m_chain, reopening it after every child folder.
    CKoError EmptyDeep(size_t depth) {
        std::vector<std::string> names;
        for (;;) {
            FXFd fd;
            CKoError e = Reopen(m_chain.size(), fd);
            if (e.IsError()) return e.Push(ZY_HERE);
            e = ReadSomeNames(fd.Get(), 4096, names);
            if (e.IsError()) return e.Push(ZY_HERE);
            if (names.empty()) return CKoError::Success();
            for (const std::string& name : names) {
                if (!fd.IsOpen()) {
                    e = Reopen(m_chain.size(), fd);
                    if (e.IsError()) return e.Push(ZY_HERE);
                }
                if (::unlinkat(fd.Get(), name.c_str(), 0) == 0 || errno == ENOENT) continue;
                if (errno != EISDIR && errno != EPERM)
                    return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "unlink failed, Name=[%s]", name.c_str());
                fd.Reset();
                e = RemoveFolder(-1, name, depth + 1);
                if (e.IsError()) return e;
            }
        }
    }

    int m_anchor = -1;
    std::vector<std::string> m_chain;
};

}  // namespace

CKoError FXPathWalker::OpenByDescent(const std::string& path, FXFd& out) {
    if (!FXSafePath::IsCleanAbsolute(path))
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "Not a clean absolute path, Path=[%s]",
                                       path.c_str());
    FXFd current(OpenAt(AT_FDCWD, "/", kStepFlags));
    if (!current.IsOpen()) return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "Cannot open /");
    std::vector<std::string_view> parts;
    FXSafePath::Split(std::string_view(path).substr(1), parts);
    std::string name;
    for (std::string_view part : parts) {
        name.assign(part);
        FXFd next(OpenAt(current.Get(), name.c_str(), kStepFlags));
        if (!next.IsOpen())
            return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "Cannot open folder, Path=[%s], Name=[%s]", path.c_str(), name.c_str());
        current = std::move(next);
    }
    out = std::move(current);
    return CKoError::Success();
}

CKoError FXPathWalker::Open(const std::string& path) {
    Forget();
    CKoError e = OpenByDescent(path, m_base);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError FXPathWalker::OpenFd(int folderFd) {
    Forget();
    m_base.Reset(::fcntl(folderFd, F_DUPFD_CLOEXEC, 0));
    if (!m_base.IsOpen()) return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "dup failed");
    return CKoError::Success();
}

void FXPathWalker::Forget() {
    m_names.clear();
    m_fds.clear();
}

CKoError FXPathWalker::OpenFolder(std::string_view relative, const Mode& mode, int& fd) {
    if (!m_base.IsOpen()) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "Walker not open");
    if (!relative.empty() && !FXSafePath::IsCleanRelative(relative))
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "Not a clean relative path, Path=[%.*s]",
                                       static_cast<int>(relative.size()), relative.data());
    FXSafePath::Split(relative, m_split);
    // Keep what the last walk opened as far as it agrees with this one.
    size_t same = 0;
    while (same < m_split.size() && same < m_names.size() && m_names[same] == m_split[same]) ++same;
    m_names.resize(same);
    m_fds.resize(same);
    for (size_t i = same; i < m_split.size(); ++i) {
        int parent = i == 0 ? m_base.Get() : m_fds[i - 1].Get();
        std::string name(m_split[i]);
        FXFd next;
        CKoError e = Step(parent, name, mode, next);
        if (e.IsError()) return e;
        m_names.push_back(std::move(name));
        m_fds.push_back(std::move(next));
    }
    fd = m_fds.empty() ? m_base.Get() : m_fds.back().Get();
    return CKoError::Success();
}

CKoError FXPathWalker::OpenParent(std::string_view relative, const Mode& mode, int& parentFd, std::string_view& leaf) {
    if (!FXSafePath::IsCleanRelative(relative))
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "Not a clean relative path, Path=[%.*s]",
                                       static_cast<int>(relative.size()), relative.data());
    size_t slash = relative.rfind('/');
    leaf = slash == std::string_view::npos ? relative : relative.substr(slash + 1);
    return OpenFolder(slash == std::string_view::npos ? std::string_view() : relative.substr(0, slash), mode, parentFd);
}

CKoError FXPathWalker::RemoveTreeAt(int dirFd, const std::string& name) {
    if (!FXSafePath::IsCleanName(name))
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "Not a clean name, Name=[%s]", name.c_str());
    if (::unlinkat(dirFd, name.c_str(), 0) == 0 || errno == ENOENT) return CKoError::Success();
    if (errno != EISDIR && errno != EPERM)
        return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "unlink failed, Name=[%s]", name.c_str());
    CTreeRemover remover;
    return remover.RemoveFolder(dirFd, name, 0);
}

CKoError FXPathWalker::ListFolder(int folderFd, std::vector<std::string>& names) {
    return ReadSomeNames(folderFd, static_cast<size_t>(-1), names);
}
