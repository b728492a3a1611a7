#include "agent/FileSystemScanner.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "core/File.h"
#include "core/LogWriter.h"

// One open folder of the one-thread walk: its entries' names, read in full before any is
// examined, so that only the descriptor stays open while the walk is below it.
struct CFileSystemScanner::Frame {
    FXFd fd;
    uint64_t dev = 0;
    size_t pathLength = 0;        // of the folder's path in the walk's path buffer
    std::string names;            // every name, each followed by a NUL
    std::vector<uint32_t> order;  // offsets into `names`, sorted by name
    size_t next = 0;
};

namespace {

// The buffer of getdents64: reading a folder costs no allocation beyond the names themselves.
class CDirentBuffer {
public:
    static constexpr size_t kBytes = 32 * 1024;
    char* Data() { return reinterpret_cast<char*>(m_words.get()); }

private:
    std::unique_ptr<uint64_t[]> m_words{new uint64_t[kBytes / sizeof(uint64_t)]};  // aligned for dirent64
};

// Reads every name of the open folder `fd` (which must be at its start) and sorts them by byte.
CKoError ReadNames(int fd, CDirentBuffer& buffer, std::string& names, std::vector<uint32_t>& order) {
    names.clear();
    order.clear();
    for (;;) {
        ssize_t n = ::getdents64(fd, buffer.Data(), CDirentBuffer::kBytes);
        if (n < 0) {
            if (errno == EINTR) continue;
            return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "getdents64 failed");
        }
        if (n == 0) break;
        for (ssize_t at = 0; at < n;) {
            const auto* entry = reinterpret_cast<const struct dirent64*>(buffer.Data() + at);
            at += entry->d_reclen;
            const char* name = entry->d_name;
            if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
            order.push_back(static_cast<uint32_t>(names.size()));
            names.append(name);
            names.push_back('\0');
        }
    }
    const char* base = names.data();
    std::sort(order.begin(), order.end(),
              [base](uint32_t a, uint32_t b) { return std::strcmp(base + a, base + b) < 0; });
    return CKoError::Success();
}

// Opens the folder `name` of `parentFd` without following a link and checks that it is the folder
// that was examined as `expected` (it may have been replaced in between).
CKoError OpenFolder(int parentFd, const char* name, uint64_t expectedDev, uint64_t expectedIno, FXFd& out) {
    int fd = ::openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "Cannot open folder");
    out.Reset(fd);
    struct stat now;
    if (::fstat(fd, &now) != 0) return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "fstat failed");
    if (static_cast<uint64_t>(now.st_dev) != expectedDev || static_cast<uint64_t>(now.st_ino) != expectedIno)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_PATH_NOT_FOUND, "Folder changed while scanned");
    return CKoError::Success();
}

void AppendName(std::string& path, size_t folderLength, const char* name) {
    path.resize(folderLength);
    if (path.size() != 1) path.push_back('/');
    path.append(name);
}

}  // namespace

void CFileSystemScanner::Count(const CItem& item, SScanStatistics& statistics) {
    ++statistics.items;
    if (item.IsFolder()) {
        ++statistics.folders;
    } else {
        ++statistics.files;
        if (item.IsFile()) statistics.bytes += static_cast<uint64_t>(item.Stat().size);
    }
}

void CFileSystemScanner::ScanError(SScanStatistics& statistics, IScanItemCallback& callback, const std::string& path,
                                   const CKoError& error) {
    ++statistics.errors;
    ZYLOG(1, "Scan error, Path=[%s], Error=[%s]", path.c_str(), error.AsString().c_str());
    callback.OnScanError(path, error);
}

CKoError CFileSystemScanner::Report(std::shared_ptr<CItem>& slot, SScanStatistics& statistics,
                                    IScanItemCallback& callback, bool& descend) {
    if (m_stop.load(std::memory_order_relaxed))
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OPERATION_ABORTED, "Scan was asked to stop");
    Count(*slot, statistics);
    descend = slot->IsFolder();
    CKoError e = callback.OnItem(slot, descend);
    if (e.IsError()) return e.Push(ZY_HERE, "Item callback failed, Path=[%s]", slot->GetPath().c_str());
    for (const auto& consumer : m_consumers) {
        e = consumer->Process(slot);
        if (e.IsError()) return e.Push(ZY_HERE, "Item consumer failed, Path=[%s]", slot->GetPath().c_str());
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
    CKoError e = Report(m_item, m_statistics, callback, descend);
    if (e.IsError() || !descend || !S_ISDIR(st.st_mode)) return e;
    if (m_options.threads > 1) return WalkThreads(path, st, callback);
    return WalkOneThread(path, st, callback);
}

CKoError CFileSystemScanner::WalkOneThread(std::string& path, const struct stat& rootStat,
                                           IScanItemCallback& callback) {
    CDirentBuffer dirents;
    std::vector<Frame> stack;
    stack.reserve(64);
    auto open = [&](int parentFd, const char* name, const struct stat& expected) -> CKoError {
        Frame frame;
        CKoError err = OpenFolder(parentFd, name, expected.st_dev, expected.st_ino, frame.fd);
        if (err.IsError()) return err.Push(ZY_HERE);
        err = ReadNames(frame.fd.Get(), dirents, frame.names, frame.order);
        if (err.IsError()) return err.Push(ZY_HERE);
        frame.dev = expected.st_dev;
        frame.pathLength = path.size();
        stack.push_back(std::move(frame));
        return CKoError::Success();
    };

    CKoError e = open(AT_FDCWD, path.c_str(), rootStat);
    if (e.IsError()) {
        ScanError(m_statistics, callback, path, e);
        return CKoError::Success();
    }

    struct stat st;
    bool descend = false;
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next == top.order.size()) {
            stack.pop_back();
            if (!stack.empty()) path.resize(stack.back().pathLength);
            continue;
        }
        const char* name = top.names.data() + top.order[top.next++];
        AppendName(path, top.pathLength, name);

        if (::fstatat(top.fd.Get(), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) {
                // Gone between the listing and now: nothing to back up.
                ZYLOG(3, "Item vanished during the scan, Path=[%s]", path.c_str());
            } else {
                ScanError(m_statistics, callback, path, FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "Cannot examine item"));
            }
            continue;
        }
        CItem& item = CItem::Recycle(m_item);
        item.SetPath(path);
        item.SetStat(st);
        e = Report(m_item, m_statistics, callback, descend);
        if (e.IsError()) return e;
        if (!descend || !S_ISDIR(st.st_mode)) continue;
        if (static_cast<uint64_t>(st.st_dev) != top.dev && !m_options.crossFileSystems) {
            ZYLOG(2, "Not crossing into another file system, Path=[%s]", path.c_str());
            continue;
        }
        // `top` may move when the stack grows.
        int parentFd = top.fd.Get();
        e = open(parentFd, name, st);
        if (e.IsError()) ScanError(m_statistics, callback, path, e);
    }
    return CKoError::Success();
}

// ---------------------------------------------------------------------------------------------
// Several walkers.
//
// The walkers share a stack of folders still to read. A walker takes the top folder, opens it
// relative to its parent, reads its names, examines and reports each entry, and pushes the
// subfolders it is to descend into (first name on top, so the walk stays close to depth first and
// few folders wait at a time). A waiting folder keeps its parent's descriptor open through a shared
// handle: the descriptor closes when the last subfolder has been opened, so open descriptors stay
// about as many as the walk is deep per walker.

namespace {

struct CFolderHandle {
    FXFd fd;
    uint64_t dev = 0;
};

struct SWaitingFolder {
    std::shared_ptr<CFolderHandle> parent;  // null for the root: opened by its path
    std::string path;
    size_t nameOffset = 0;  // of the folder's name in `path`
    uint64_t dev = 0, ino = 0;
};

}  // namespace

struct CFileSystemScanner::SharedWalk {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<SWaitingFolder> stack;
    unsigned busy = 0;     // walkers reading a folder (which may push more)
    std::atomic<bool> aborted{false};  // the first error stops every walker
    CKoError firstError;
    SScanStatistics statistics;  // summed as walkers finish
};

class CFileSystemScanner::Walker {
public:
    Walker(CFileSystemScanner& scanner, SharedWalk& shared, IScanItemCallback& callback)
        : m_scanner(scanner), m_shared(shared), m_callback(callback) {}

    void Run() {
        SWaitingFolder folder;
        while (Take(folder)) {
            CKoError e = ReadFolder(folder);
            folder.parent.reset();
            Finish(e);
        }
        std::lock_guard<std::mutex> lock(m_shared.mutex);
        SScanStatistics& sum = m_shared.statistics;
        sum.items += m_statistics.items;
        sum.folders += m_statistics.folders;
        sum.files += m_statistics.files;
        sum.bytes += m_statistics.bytes;
        sum.errors += m_statistics.errors;
    }

private:
    bool Take(SWaitingFolder& folder) {
        std::unique_lock<std::mutex> lock(m_shared.mutex);
        m_shared.changed.wait(lock, [this] { return m_shared.aborted || !m_shared.stack.empty() || m_shared.busy == 0; });
        if (m_shared.aborted || m_shared.stack.empty()) return false;
        folder = std::move(m_shared.stack.back());
        m_shared.stack.pop_back();
        ++m_shared.busy;
        return true;
    }

    // Hands the subfolders found to the other walkers, or stops them all on an error.
    void Finish(const CKoError& e) {
        std::lock_guard<std::mutex> lock(m_shared.mutex);
        --m_shared.busy;
        if (e.IsError()) {
            if (m_shared.firstError.IsSuccess()) m_shared.firstError = e;
            m_shared.aborted.store(true);
        } else {
            for (auto it = m_children.rbegin(); it != m_children.rend(); ++it) m_shared.stack.push_back(std::move(*it));
        }
        m_children.clear();
        if (m_shared.aborted || m_shared.busy == 0 || !m_shared.stack.empty()) m_shared.changed.notify_all();
    }

    // Only a failure of the callback or a consumer (or a stop) is returned; trouble with the
    // folder itself is reported as a scan error and the walk goes on.
    CKoError ReadFolder(const SWaitingFolder& folder) {
        const int parentFd = folder.parent ? folder.parent->fd.Get() : AT_FDCWD;
        auto handle = std::make_shared<CFolderHandle>();
        CKoError e = OpenFolder(parentFd, folder.path.c_str() + folder.nameOffset, folder.dev, folder.ino, handle->fd);
        if (e.IsSuccess()) e = ReadNames(handle->fd.Get(), m_dirents, m_names, m_order);
        if (e.IsError()) {
            ScanError(m_statistics, m_callback, folder.path, e.Push(ZY_HERE));
            return CKoError::Success();
        }
        handle->dev = folder.dev;
        const int fd = handle->fd.Get();
        struct stat st;
        bool descend = false;
        for (uint32_t offset : m_order) {
            if (m_shared.aborted.load(std::memory_order_relaxed)) break;
            const char* name = m_names.data() + offset;
            AppendName(m_path.assign(folder.path), folder.path.size(), name);
            if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno == ENOENT)
                    ZYLOG(3, "Item vanished during the scan, Path=[%s]", m_path.c_str());
                else
                    ScanError(m_statistics, m_callback, m_path,
                              FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "Cannot examine item"));
                continue;
            }
            CItem& item = CItem::Recycle(m_item);
            item.SetPath(m_path);
            item.SetStat(st);
            e = m_scanner.Report(m_item, m_statistics, m_callback, descend);
            if (e.IsError()) {
                // The other walkers stop at their next item, not when this folder is given up.
                m_shared.aborted.store(true);
                return e;
            }
            if (!descend || !S_ISDIR(st.st_mode)) continue;
            if (static_cast<uint64_t>(st.st_dev) != handle->dev && !m_scanner.m_options.crossFileSystems) {
                ZYLOG(2, "Not crossing into another file system, Path=[%s]", m_path.c_str());
                continue;
            }
            SWaitingFolder child;
            child.parent = handle;
            child.path = m_path;
            child.nameOffset = m_path.size() - std::strlen(name);
            child.dev = st.st_dev;
            child.ino = st.st_ino;
            m_children.push_back(std::move(child));
        }
        return CKoError::Success();
    }

    CFileSystemScanner& m_scanner;
    SharedWalk& m_shared;
    IScanItemCallback& m_callback;
    SScanStatistics m_statistics;
    std::shared_ptr<CItem> m_item;
    CDirentBuffer m_dirents;
    std::string m_names;
    std::vector<uint32_t> m_order;
    std::string m_path;
    std::vector<SWaitingFolder> m_children;
};

CKoError CFileSystemScanner::WalkThreads(const std::string& path, const struct stat& rootStat,
                                         IScanItemCallback& callback) {
    SharedWalk shared;
    SWaitingFolder root;
    root.path = path;
    root.dev = rootStat.st_dev;
    root.ino = rootStat.st_ino;
    shared.stack.push_back(std::move(root));

    std::vector<std::unique_ptr<Walker>> walkers;
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < m_options.threads; ++i) walkers.push_back(std::make_unique<Walker>(*this, shared, callback));
    for (unsigned i = 1; i < m_options.threads; ++i) {
        try {
            threads.emplace_back([w = walkers[i].get()] { w->Run(); });
        } catch (const std::system_error& ex) {
            // Fewer walkers still walk everything.
            ZYLOG(1, "Cannot start a scanner thread, error=%s", ex.what());
            break;
        }
    }
    walkers[0]->Run();
    for (std::thread& t : threads) t.join();

    m_statistics.items += shared.statistics.items;
    m_statistics.folders += shared.statistics.folders;
    m_statistics.files += shared.statistics.files;
    m_statistics.bytes += shared.statistics.bytes;
    m_statistics.errors += shared.statistics.errors;
    return shared.firstError;
}
