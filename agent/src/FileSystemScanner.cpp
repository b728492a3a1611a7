#include "agent/FileSystemScanner.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/File.h"
#include "core/LogWriter.h"

// One open folder of the walk: its entries' names, read in full before any is examined, so that
// only the descriptor stays open while the walk is below it.
struct CFileSystemScanner::Frame {
    FXFd fd;
    uint64_t dev = 0;
    size_t pathLength = 0;        // of the folder's path in the walk's path buffer
    std::string names;            // every name, each followed by a NUL
    std::vector<uint32_t> order;  // offsets into `names`, sorted by name
    size_t next = 0;
};

namespace {

// Reads every name of the folder; readdir's NULL is the end only when errno stayed 0.
CKoError ReadNames(int fd, std::string& names, std::vector<uint32_t>& order) {
    int dupFd = ::dup(fd);
    if (dupFd < 0) return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "dup failed");
    DIR* dir = ::fdopendir(dupFd);
    if (!dir) {
        int err = errno;
        ::close(dupFd);
        return FXErrorUtil::ErrorErrNo(ZY_HERE, err, "fdopendir failed");
    }
    names.clear();
    order.clear();
    CKoError result;
    for (;;) {
        errno = 0;
        struct dirent* entry = ::readdir(dir);
        if (!entry) {
            if (errno != 0) result = FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "readdir failed");
            break;
        }
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
        order.push_back(static_cast<uint32_t>(names.size()));
        names.append(name);
        names.push_back('\0');
    }
    ::closedir(dir);
    if (result.IsError()) return result;
    const char* base = names.data();
    std::sort(order.begin(), order.end(),
              [base](uint32_t a, uint32_t b) { return std::strcmp(base + a, base + b) < 0; });
    return CKoError::Success();
}

}  // namespace

void CFileSystemScanner::Count(const CItem& item) {
    ++m_statistics.items;
    if (item.IsFolder()) {
        ++m_statistics.folders;
    } else {
        ++m_statistics.files;
        if (item.IsFile()) m_statistics.bytes += static_cast<uint64_t>(item.Stat().size);
    }
}

void CFileSystemScanner::ScanError(IScanItemCallback& callback, const std::string& path, const CKoError& error) {
    ++m_statistics.errors;
    ZYLOG(1, "Scan error, Path=[%s], Error=[%s]", path.c_str(), error.AsString().c_str());
    callback.OnScanError(path, error);
}

CKoError CFileSystemScanner::Report(IScanItemCallback& callback, bool& descend) {
    if (m_stop.load(std::memory_order_relaxed))
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OPERATION_ABORTED, "Scan was asked to stop");
    Count(*m_item);
    descend = m_item->IsFolder();
    CKoError e = callback.OnItem(m_item, descend);
    if (e.IsError()) return e.Push(ZY_HERE, "Item callback failed, Path=[%s]", m_item->GetPath().c_str());
    for (const auto& consumer : m_consumers) {
        e = consumer->Process(m_item);
        if (e.IsError()) return e.Push(ZY_HERE, "Item consumer failed, Path=[%s]", m_item->GetPath().c_str());
    }
    return CKoError::Success();
}

CKoError CFileSystemScanner::Scan(const std::string& rootPath, IScanItemCallback& callback) {
    std::string path = rootPath;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    if (path.empty()) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "Empty content path");

    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "Cannot examine content path, Path=[%s]", path.c_str());
    CItem& root = CItem::Recycle(m_item);
    root.SetPath(path);
    root.SetStat(st);
    bool descend = false;
    CKoError e = Report(callback, descend);
    if (e.IsError() || !descend || !S_ISDIR(st.st_mode)) return e;

    std::vector<Frame> stack;
    stack.reserve(64);
    auto open = [&](int parentFd, const char* name, const struct stat& expected) -> CKoError {
        int fd = ::openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "Cannot open folder");
        Frame frame;
        frame.fd.Reset(fd);
        struct stat now;
        // The folder may have been replaced between the listing and the open.
        if (::fstat(fd, &now) != 0) return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "fstat failed");
        if (now.st_dev != expected.st_dev || now.st_ino != expected.st_ino)
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_PATH_NOT_FOUND, "Folder changed while scanned");
        CKoError err = ReadNames(fd, frame.names, frame.order);
        if (err.IsError()) return err.Push(ZY_HERE);
        frame.dev = now.st_dev;
        frame.pathLength = path.size();
        stack.push_back(std::move(frame));
        return CKoError::Success();
    };

    e = open(AT_FDCWD, path.c_str(), st);
    if (e.IsError()) {
        ScanError(callback, path, e);
        return CKoError::Success();
    }

    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next == top.order.size()) {
            stack.pop_back();
            if (!stack.empty()) path.resize(stack.back().pathLength);
            continue;
        }
        const char* name = top.names.data() + top.order[top.next++];
        path.resize(top.pathLength);
        if (path.size() != 1) path.push_back('/');
        path.append(name);

        if (::fstatat(top.fd.Get(), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) {
                // Gone between the listing and now: nothing to back up.
                ZYLOG(3, "Item vanished during the scan, Path=[%s]", path.c_str());
            } else {
                ScanError(callback, path, FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "Cannot examine item"));
            }
            continue;
        }
        CItem& item = CItem::Recycle(m_item);
        item.SetPath(path);
        item.SetStat(st);
        e = Report(callback, descend);
        if (e.IsError()) return e;
        if (!descend || !S_ISDIR(st.st_mode)) continue;
        if (static_cast<uint64_t>(st.st_dev) != top.dev && !m_options.crossFileSystems) {
            ZYLOG(2, "Not crossing into another file system, Path=[%s]", path.c_str());
            continue;
        }
        // `top` may move when the stack grows.
        int parentFd = top.fd.Get();
        e = open(parentFd, name, st);
        if (e.IsError()) ScanError(callback, path, e);
    }
    return CKoError::Success();
}
