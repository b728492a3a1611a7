#include "OutputFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

struct COutputFile::Cookie {
    FXFd fd;
    uint64_t lines = 0;
    int error = 0;
};

ssize_t COutputFile::Write(void* c, const char* buffer, size_t size) {
    auto* cookie = static_cast<Cookie*>(c);
    if (cookie->error != 0) {
        errno = cookie->error;
        return -1;
    }
    const char* p = buffer;
    for (const char* end = buffer + size; (p = static_cast<const char*>(std::memchr(p, '\n', end - p))); ++p)
        ++cookie->lines;
    CKoError e = FXFile::ZYWriteFile(cookie->fd, buffer, size);
    if (e.IsError()) {
        cookie->error = static_cast<int>(e.GetErrorCode());
        errno = cookie->error;
        return -1;
    }
    return static_cast<ssize_t>(size);
}

int COutputFile::CloseCookie(void*) { return 0; }  // the descriptor is closed by Close()

COutputFile::~COutputFile() {
    if (m_stream) std::fclose(m_stream);
    delete m_cookie;
}

CKoError COutputFile::Open(const std::string& path, bool append) {
    m_path = path;
    auto cookie = std::make_unique<Cookie>();
    int flags = O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC);
    CKoError e = FXFile::ZYCreateFile(path, flags, 0644, cookie->fd);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot open output file, FileName=[%s]", path.c_str());
    cookie_io_functions_t io{};
    io.write = &COutputFile::Write;
    io.close = &COutputFile::CloseCookie;
    m_stream = ::fopencookie(cookie.get(), "w", io);
    if (!m_stream) return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "fopencookie failed, FileName=[%s]", path.c_str());
    std::setvbuf(m_stream, nullptr, _IOFBF, 1 << 18);
    m_cookie = cookie.release();
    return CKoError::Success();
}

uint64_t COutputFile::Lines() const { return m_cookie ? m_cookie->lines : 0; }

CKoError COutputFile::Close() {
    if (!m_stream) return CKoError::Success();
    int flushed = std::fflush(m_stream);
    int error = m_cookie->error;
    std::fclose(m_stream);
    m_stream = nullptr;
    if (error == 0 && flushed != 0) error = errno ? errno : EIO;
    if (error == 0 && ::fsync(m_cookie->fd.Get()) != 0) error = errno;
    CKoError closed = m_cookie->fd.Close();
    if (error != 0) return FXErrorUtil::ErrorErrNo(ZY_HERE, error, "Failed to write output file, FileName=[%s]", m_path.c_str());
    if (closed.IsError()) return closed.Push(ZY_HERE, "FileName=[%s]", m_path.c_str());
    return CKoError::Success();
}
