// Reaches folders below a base folder by descriptor, one component at a time, never following a
// symbolic link: every component is opened with openat(parent, name, O_DIRECTORY | O_NOFOLLOW).
// A link planted anywhere on the way is refused (ELOOP or ENOTDIR), "." and ".." never occur
// (callers pass clean relative paths, see FXSafePath), and paths longer than PATH_MAX work, since
// no call is ever given more than one component.
//
// The descriptors of the last folder reached and of its ancestors are kept, so that walking a
// tree in order opens each folder once. A walker belongs to one thread.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "core/File.h"
#include "core/KoError.h"

class FXPathWalker {
public:
    struct Mode {
        bool create = false;     // make missing folders (with `folderMode`)
        bool replace = false;    // remove a non-folder (a file, a link) that stands where a folder must be
        mode_t folderMode = 0700;
    };

    FXPathWalker() = default;
    FXPathWalker(const FXPathWalker&) = delete;
    FXPathWalker& operator=(const FXPathWalker&) = delete;

    // The folder `path` is reached from: an absolute path opened by descent from "/" with
    // O_NOFOLLOW at every component, so it must be a real path (no links on the way).
    CKoError Open(const std::string& path);
    // Starts from a copy of an open folder descriptor.
    CKoError OpenFd(int folderFd);
    int BaseFd() const { return m_base.Get(); }

    // Opens the folder `relative` (clean, "" for the base itself). `fd` stays owned by the
    // walker and valid until the next call. Errors carry the errno of the step that failed:
    // ENOENT (missing), ENOTDIR or ELOOP (something else, a link, stands there) included.
    CKoError OpenFolder(std::string_view relative, const Mode& mode, int& fd);
    // The folder holding the last component of `relative` (which must be non-empty), and that
    // component.
    CKoError OpenParent(std::string_view relative, const Mode& mode, int& parentFd, std::string_view& leaf);
    // Drops the kept descriptors below the base: after a folder was removed or replaced, or when
    // a kept one may have gone stale.
    void Forget();

    // Opens an absolute real path by descent from "/" (O_NOFOLLOW at every component).
    static CKoError OpenByDescent(const std::string& path, FXFd& out);
    // Removes the entry `name` of the folder `dirFd`, and everything below it when it is a
    // folder, without following links and without using paths. A missing entry is success.
    static CKoError RemoveTreeAt(int dirFd, const std::string& name);
    // Every entry name of the folder `folderFd` (which may be an O_PATH descriptor), without "."
    // and "..".
    static CKoError ListFolder(int folderFd, std::vector<std::string>& names);

private:
    std::vector<std::string> m_names;  // components of the last folder reached
    std::vector<FXFd> m_fds;           // m_fds[i]: the folder m_names[0..i]
    FXFd m_base;
    std::vector<std::string_view> m_split;  // reused
};
