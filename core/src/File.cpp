#include "core/File.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "core/Env.h"
#include "core/Path.h"

CKoError FXFileHandle::Close() {
    if (!m_file) return CKoError::Success();
    FXStreamFile* seam = m_seam;
    FILE* f = Release();
    CKoError e;
    errno = 0;
    if (std::fflush(f) != 0) {
        const int err = errno != 0 ? errno : EIO;
        e = seam && seam->LastError().IsError() ? seam->LastError() : FXErrorUtil::ErrorErrNo(ZY_HERE, err, "fflush failed");
    }
    if (seam) {
        CKoError closed = seam->Close();
        if (e.IsSuccess()) e = closed;
    }
    errno = 0;
    const int rc = std::fclose(f);
    const int err = errno != 0 ? errno : EIO;
    if (rc != 0 && e.IsSuccess()) e = FXErrorUtil::ErrorErrNo(ZY_HERE, err, "fclose failed");
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

void FXFd::Reset(int fd) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
}

CKoError FXFd::Close() {
    if (m_fd < 0) return CKoError::Success();
    int fd = Release();
    if (::close(fd) != 0) return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "close failed");
    return CKoError::Success();
}

// ---------------------------------------------------------------------------------------------
// Streams over the seam. stdio calls the cookie's functions with its buffer; they return what
// fopencookie asks for and leave the seam's error in LastError and its errno in errno.

namespace {

class CStreamCookie : public FXStreamFile {
public:
    const CKoError& LastError() const override { return m_lastError; }

    static FILE* Open(CStreamCookie* cookie, const char* mode) {
        cookie_io_functions_t io{};
        io.read = [](void* c, char* buffer, size_t size) { return static_cast<CStreamCookie*>(c)->OnRead(buffer, size); };
        io.write = [](void* c, const char* buffer, size_t size) {
            return static_cast<CStreamCookie*>(c)->OnWrite(buffer, size);
        };
        io.seek = [](void* c, off64_t* offset, int whence) { return static_cast<CStreamCookie*>(c)->OnSeek(offset, whence); };
        io.close = [](void* c) {
            auto* cookie = static_cast<CStreamCookie*>(c);
            const int rc = cookie->Fail(cookie->Close()) ? -1 : 0;
            delete cookie;
            return rc;
        };
        FILE* f = ::fopencookie(cookie, mode, io);
        // stdio would give a cookie stream BUFSIZ; job files are read and written in bulk.
        if (f) std::setvbuf(f, cookie->m_buffer.get(), _IOFBF, kBufferSize);
        return f;
    }

    static constexpr size_t kBufferSize = 1 << 16;

protected:
    // Keeps the error for LastError and gives stdio its errno; true when it is an error.
    bool Fail(const CKoError& e) {
        if (e.IsSuccess()) return false;
        m_lastError = e;
        errno = FXEnvErrno(e);
        return true;
    }

    virtual ssize_t OnRead(char* buffer, size_t size) = 0;
    virtual ssize_t OnWrite(const char* buffer, size_t size) = 0;
    virtual int OnSeek(off64_t* offset, int whence) = 0;

    CKoError m_lastError;
    std::unique_ptr<char[]> m_buffer{new char[kBufferSize]};  // freed with the cookie, after the stream
};

class CEnvStream : public CStreamCookie {
public:
    CKoError Init(const std::string& path, const char* mode) {
        m_path = path;
        const char kind = mode[0];
        bool plus = false;
        for (const char* m = mode + 1; *m; ++m) {
            if (*m == '+')
                plus = true;
            else if (*m != 'b' && *m != 'e' && *m != 'm' && *m != 'c')
                return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "Unsupported mode, Mode=[%s]", mode);
        }
        FXEnv* env = FXEnv::Current();
        FXOpenOptions options;
        CKoError e;
        if (kind == 'r' && !plus) {
            options.followLinks = true;  // reading through a link changes nothing
            e = env->NewRandomAccessFile(path, m_reader, options);
        } else if (kind == 'r') {
            e = env->NewRandomRWFile(path, false, m_rw, options);
        } else if (kind == 'w') {
            e = env->NewRandomRWFile(path, true, m_rw, options);
            if (e.IsSuccess()) e = m_rw->Truncate(0);
        } else if (kind == 'a' && !plus) {
            e = env->NewWritableFile(path, EWriteMode::Append, m_appender, options);
            if (e.IsSuccess()) m_end = m_pos = m_appender->Size();
        } else if (kind == 'a') {
            m_append = true;
            e = env->NewRandomRWFile(path, true, m_rw, options);
            if (e.IsSuccess()) e = m_rw->Size(m_end);
        } else {
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "Unsupported mode, Mode=[%s]", mode);
        }
        return e;
    }

    CKoError Size(uint64_t& size) override {
        if (m_reader) return m_reader->Size(size);
        if (m_rw) return m_rw->Size(size);
        if (m_appender) {
            size = m_appender->Size();
            return CKoError::Success();
        }
        return Closed(ZY_HERE);
    }
    CKoError ReadAt(uint64_t offset, char* buffer, size_t n, size_t& got) override {
        got = 0;
        if (m_reader) return m_reader->Read(offset, buffer, n, got);
        if (m_rw) return m_rw->Read(offset, buffer, n, got);
        if (!m_appender) return Closed(ZY_HERE);
        // An append-only stream reads through a reader of its own, opened when first asked.
        if (!m_tailReader) {
            FXOpenOptions options;
            options.followLinks = true;
            CKoError e = FXEnv::Current()->NewRandomAccessFile(m_path, m_tailReader, options);
            if (e.IsError()) return e;
        }
        return m_tailReader->Read(offset, buffer, n, got);
    }
    CKoError Truncate(uint64_t size) override {
        CKoError e = m_rw ? m_rw->Truncate(size)
                          : m_appender ? m_appender->Truncate(size)
                                       : FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE,
                                                                 "Stream not open for writing, FileName=[%s]", m_path.c_str());
        if (e.IsError()) return e;
        m_end = size;
        m_pos = std::min(m_pos, size);
        if (m_appender || m_append) m_pos = size;
        return CKoError::Success();
    }
    CKoError Sync() override {
        if (m_rw) return m_rw->Sync();
        if (m_appender) return m_appender->Sync();
        return m_reader ? CKoError::Success() : Closed(ZY_HERE);
    }
    CKoError Close() override {
        CKoError e = m_writeError;
        CKoError closed;
        if (m_rw) closed = m_rw->Close();
        if (m_appender) closed = m_appender->Close();
        if (e.IsSuccess()) e = closed;
        m_rw.reset();
        m_appender.reset();
        m_reader.reset();
        m_tailReader.reset();
        return e;
    }

protected:
    ssize_t OnRead(char* buffer, size_t size) override {
        size_t got = 0;
        if (!m_reader && !m_rw) {
            Fail(FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "Stream not open for reading, FileName=[%s]",
                                         m_path.c_str()));
            return -1;
        }
        if (Fail(ReadAt(m_pos, buffer, size, got))) return -1;
        m_pos += got;
        return static_cast<ssize_t>(got);
    }
    ssize_t OnWrite(const char* buffer, size_t size) override {
        // stdio drops a buffer it could not write: after a failure nothing more may land behind
        // the gap, and the failure is what closing reports.
        if (m_writeError.IsError()) {
            Fail(m_writeError);
            return 0;
        }
        const std::string_view data(buffer, size);
        CKoError e;
        if (m_appender) {
            e = m_appender->Append(data);
            m_end = m_pos = m_appender->Size();
        } else if (m_rw) {
            const uint64_t at = m_append ? m_end : m_pos;
            e = m_rw->Write(at, data);
            if (e.IsSuccess()) {
                m_pos = at + size;
                m_end = std::max(m_end, m_pos);
            } else if (m_append) {
                m_rw->Size(m_end).IgnoreError();  // part of it may have landed
            }
        } else {
            e = FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "Stream not open for writing, FileName=[%s]",
                                        m_path.c_str());
        }
        // fopencookie: a write that fails reports 0 bytes.
        if (!Fail(e)) return static_cast<ssize_t>(size);
        m_writeError = e;
        return 0;
    }
    int OnSeek(off64_t* offset, int whence) override {
        int64_t base = 0;
        if (whence == SEEK_CUR) {
            base = static_cast<int64_t>(m_pos);
        } else if (whence == SEEK_END) {
            uint64_t size = 0;
            if (Fail(Size(size))) return -1;
            base = static_cast<int64_t>(size);
        } else if (whence != SEEK_SET) {
            errno = EINVAL;
            return -1;
        }
        const int64_t to = base + *offset;
        if (to < 0) {
            errno = EINVAL;
            return -1;
        }
        m_pos = static_cast<uint64_t>(to);
        *offset = to;
        return 0;
    }

private:
    CKoError Closed(const FXCodeLocation& here) const {
        return FXErrorUtil::ErrorWin32(here, ZyWin32::ERROR_INVALID_HANDLE, "Stream closed, FileName=[%s]", m_path.c_str());
    }

    std::string m_path;
    std::unique_ptr<FXRandomAccessFile> m_reader;      // "r"
    std::unique_ptr<FXRandomRWFile> m_rw;              // "w", "r+", "w+", "a+"
    std::unique_ptr<FXWritableFile> m_appender;        // "a"
    std::unique_ptr<FXRandomAccessFile> m_tailReader;  // ReadAt on an "a" stream
    bool m_append = false;                             // "a+": writes go at the end
    CKoError m_writeError;                             // the first failed write
    uint64_t m_pos = 0;
    uint64_t m_end = 0;
};

// Writes into a durable replacement, which keeps the first failure for its Commit.
class CReplaceStream : public CStreamCookie {
public:
    explicit CReplaceStream(FXDurableReplace& replace) : m_replace(replace) {}

    CKoError Size(uint64_t& size) override {
        size = m_written;
        return CKoError::Success();
    }
    CKoError ReadAt(uint64_t, char*, size_t, size_t& got) override {
        got = 0;
        return NotSupported(ZY_HERE);
    }
    CKoError Truncate(uint64_t) override { return NotSupported(ZY_HERE); }
    CKoError Sync() override { return CKoError::Success(); }  // Commit syncs
    CKoError Close() override { return CKoError::Success(); }  // Commit closes

protected:
    ssize_t OnRead(char*, size_t) override {
        Fail(NotSupported(ZY_HERE));
        return -1;
    }
    ssize_t OnWrite(const char* buffer, size_t size) override {
        if (Fail(m_replace.Append(std::string_view(buffer, size)))) return 0;
        m_written += size;
        return static_cast<ssize_t>(size);
    }
    int OnSeek(off64_t* offset, int whence) override {
        // Only where it is: ftell.
        if (*offset != 0 || (whence != SEEK_CUR && whence != SEEK_END)) {
            errno = ESPIPE;
            return -1;
        }
        *offset = static_cast<off64_t>(m_written);
        return 0;
    }

private:
    CKoError NotSupported(const FXCodeLocation& here) const {
        return FXErrorUtil::ErrorWin32(here, ZyWin32::ERROR_NOT_SUPPORTED, "Not supported on a replacement stream, FileName=[%s]",
                                       m_replace.FinalPath().c_str());
    }

    FXDurableReplace& m_replace;
    uint64_t m_written = 0;
};

}  // namespace

CKoError FXFile::zyfopen(const std::string& path, const char* mode, FXFileHandle& out) {
    auto cookie = std::make_unique<CEnvStream>();
    CKoError e = mode && *mode ? cookie->Init(path, mode)
                               : FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "No mode");
    if (e.IsError()) return e.Push(ZY_HERE, "Mode=[%s]", mode ? mode : "");
    FILE* f = CStreamCookie::Open(cookie.get(), mode);
    if (!f) return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "fopencookie failed, FileName=[%s], Mode=[%s]", path.c_str(), mode);
    out.Reset(f, cookie.release());
    return CKoError::Success();
}

CKoError FXFile::OpenReplaceStream(FXDurableReplace& replace, FXFileHandle& out) {
    if (!replace.File())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "Replacement not open, FileName=[%s]",
                                       replace.FinalPath().c_str());
    auto cookie = std::make_unique<CReplaceStream>(replace);
    FILE* f = CStreamCookie::Open(cookie.get(), "w");
    if (!f)
        return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "fopencookie failed, FileName=[%s]", replace.FinalPath().c_str());
    out.Reset(f, cookie.release());
    return CKoError::Success();
}

// ---------------------------------------------------------------------------------------------

CKoError FXFile::ZYCreateFile(const std::string& path, int flags, mode_t mode, FXFd& out) {
    int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    if (fd < 0) return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "open failed, FileName=[%s]", path.c_str());
    out.Reset(fd);
    return CKoError::Success();
}

CKoError FXFile::ZYReadFile(const FXFd& fd, void* buffer, size_t size, size_t& read) {
    for (;;) {
        ssize_t n = ::read(fd.Get(), buffer, size);
        if (n >= 0) {
            read = static_cast<size_t>(n);
            return CKoError::Success();
        }
        if (errno != EINTR) return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "read failed");
    }
}

CKoError FXFile::ZYWriteFile(const FXFd& fd, const void* buffer, size_t size) {
    const char* p = static_cast<const char*>(buffer);
    while (size > 0) {
        ssize_t n = ::write(fd.Get(), p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "write failed");
        }
        if (n == 0) return FXErrorUtil::ErrorErrNo(ZY_HERE, EIO, "write made no progress");
        p += n;
        size -= static_cast<size_t>(n);
    }
    return CKoError::Success();
}

// ---------------------------------------------------------------------------------------------

CKoError FXFile::ZYCopyFile(const std::string& from, const std::string& to, bool failIfExists) {
    FXEnv* env = FXEnv::Current();
    if (failIfExists && DoesFileExist(to))
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_ALREADY_EXISTS, "Target exists, FileName=[%s]", to.c_str());
    FXOpenOptions options;
    options.followLinks = true;
    std::unique_ptr<FXSequentialFile> in;
    CKoError e = env->NewSequentialFile(from, in, options);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot open copy source, FileName=[%s]", from.c_str());
    FXFileStat st;
    e = env->Stat(from, st, true);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot open copy source, FileName=[%s]", from.c_str());
    // The target keeps its old content until the copy is whole and on disk.
    FXDurableReplace copy(to, st.mode & 07777);
    e = copy.Open();
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot create copy target, FileName=[%s]", to.c_str());
    std::unique_ptr<char[]> buffer(new char[1 << 16]);
    for (;;) {
        size_t n = 0;
        e = in->Read(buffer.get(), 1 << 16, n);
        if (e.IsError()) return e.Push(ZY_HERE, "Cannot read copy source, FileName=[%s]", from.c_str());
        if (n == 0) break;
        e = copy.Append(std::string_view(buffer.get(), n));
        if (e.IsError()) return e.Push(ZY_HERE, "Cannot write copy target, FileName=[%s]", to.c_str());
    }
    e = copy.Commit();
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot write copy target, FileName=[%s]", to.c_str());
    return CKoError::Success();
}

CKoError FXFile::ZYMoveFileEx(const std::string& from, const std::string& to, bool replace) {
    if (!replace && DoesFileExist(to))
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_ALREADY_EXISTS, "Target exists, FileName=[%s]", to.c_str());
    CKoError e = FXEnv::Current()->RenameFile(from, to);
    if (e.IsSuccess()) return CKoError::Success();
    if (!FXErrorUtil::IsErrNo(e, EXDEV)) return e.Push(ZY_HERE);
    e = ZYCopyFile(from, to, !replace);
    if (e.IsError()) return e.Push(ZY_HERE);
    return RemoveFile(from);
}

CKoError FXFile::RemoveFile(const std::string& path) { return FXEnv::Current()->RemoveFile(path); }

bool FXFile::DoesFileExist(const std::string& path) {
    FXFileStat st;
    return FXEnv::Current()->Stat(path, st, true).IsSuccess();
}

CKoError FXFile::GetMatchingFiles(const std::string& folder, const std::string& pattern, std::vector<std::string>& names) {
    std::vector<std::string> all;
    CKoError e = FXEnv::Current()->GetChildren(folder, all);
    if (e.IsError()) return e.Push(ZY_HERE, "Folder=[%s]", folder.c_str());
    names.clear();
    for (std::string& name : all)
        if (::fnmatch(pattern.c_str(), name.c_str(), 0) == 0) names.push_back(std::move(name));
    std::sort(names.begin(), names.end());
    return CKoError::Success();
}

CKoError FXFile::DeleteMatchingFiles(const std::string& folder, const std::string& pattern) {
    std::vector<std::string> names;
    CKoError e = GetMatchingFiles(folder, pattern, names);
    if (e.IsError()) return e.Push(ZY_HERE);
    for (const std::string& name : names) {
        e = RemoveFile(FXPath::Join(folder, name));
        if (e.IsError() && !FXErrorUtil::IsWin32(e, ZyWin32::ERROR_FILE_NOT_FOUND)) return e.Push(ZY_HERE);
    }
    return CKoError::Success();
}

CKoError FXFile::ZYFindFirstFile(const std::string& pattern, FXFindHandle& handle, FXFindData& data) {
    std::string folder, name;
    if (FXPath::SplitParentPath(pattern, folder, name).IsError()) {
        folder = ".";
        name = pattern;
    }
    handle.m_open = false;
    handle.m_next = 0;
    CKoError e = FXEnv::Current()->GetChildren(folder, handle.m_names);
    if (e.IsError()) return e.Push(ZY_HERE, "Folder=[%s]", folder.c_str());
    handle.m_open = true;
    handle.m_folder = folder;
    handle.m_pattern = name;
    return ZYFindNextFile(handle, data);
}

CKoError FXFile::ZYFindNextFile(FXFindHandle& handle, FXFindData& data) {
    if (!handle.m_open) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "Enumeration not open");
    while (handle.m_next < handle.m_names.size()) {
        const std::string& name = handle.m_names[handle.m_next++];
        if (::fnmatch(handle.m_pattern.c_str(), name.c_str(), 0) != 0) continue;
        data.name = name;
        data.fullPath = FXPath::Join(handle.m_folder, name);
        FXFileStat st;
        data.isDirectory = FXEnv::Current()->Stat(data.fullPath, st, true).IsSuccess() && st.IsDirectory();
        return CKoError::Success();
    }
    return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NO_MORE_FILES);
}

CKoError FXFile::CreateFoldersIteratively(const std::string& path, mode_t mode) {
    if (path.empty()) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "Empty folder path");
    FXEnv* env = FXEnv::Current();
    std::string partial;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t next = path.find('/', pos);
        if (next == std::string::npos) next = path.size();
        partial.assign(path, 0, next);
        pos = next + 1;
        if (partial.empty() || FXPath::HasTrailingDelimiter(partial)) continue;
        CKoError e = env->CreateDir(partial, mode);
        if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_ALREADY_EXISTS)) continue;
        // A folder that a crash could take back would take the files made in it along.
        if (e.IsSuccess()) e = FXSyncParentDir(partial);
        if (e.IsError()) return e.Push(ZY_HERE, "mkdir failed, Folder=[%s]", partial.c_str());
    }
    FXFileStat st;
    if (env->Stat(path, st, true).IsError() || !st.IsDirectory())
        return FXErrorUtil::ErrorErrNo(ZY_HERE, ENOTDIR, "Not a folder, Folder=[%s]", path.c_str());
    return CKoError::Success();
}

bool FXFile::IsVolumeUnc(std::string_view path) {
    auto delim = [](char c) { return c == '/' || c == '\\'; };
    return path.size() > 2 && delim(path[0]) && path[0] == path[1] && !delim(path[2]);
}

CKoError FXFile::ReplaceFile(const std::string& tempPath, const std::string& finalPath) {
    CKoError e = FXDurableReplace::Install(tempPath, finalPath);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError FXFile::WriteFileAtomically(const std::string& path, std::string_view content) {
    CKoError e = FXDurableReplace::WriteWhole(path, content);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError FXFile::ReadWholeFile(const std::string& path, std::string& content) {
    FXOpenOptions options;
    options.followLinks = true;
    std::unique_ptr<FXSequentialFile> file;
    CKoError e = FXEnv::Current()->NewSequentialFile(path, file, options);
    if (e.IsError()) return e.Push(ZY_HERE);
    content.clear();
    // A file of any size may come: running out of memory for it is an error like a failed read.
    try {
        std::unique_ptr<char[]> buffer(new char[1 << 16]);
        for (;;) {
            size_t n = 0;
            e = file->Read(buffer.get(), 1 << 16, n);
            if (e.IsError()) return e.Push(ZY_HERE, "FileName=[%s]", path.c_str());
            if (n == 0) return CKoError::Success();
            content.append(buffer.get(), n);
        }
    } catch (const std::bad_alloc&) {
        content.clear();
        content.shrink_to_fit();
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "Not enough memory to read file, FileName=[%s]",
                                       path.c_str());
    }
}
