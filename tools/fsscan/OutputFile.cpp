#include "OutputFile.h"

#include <cerrno>
#include <cstring>

#include "core/Env.h"

struct COutputFile::Cookie {
    std::unique_ptr<FXWritableFile> file;
    uint64_t lines = 0;
    CKoError error;  // the first; nothing is written after it
};

ssize_t COutputFile::Write(void* c, const char* buffer, size_t size) {
    auto* cookie = static_cast<Cookie*>(c);
    if (cookie->error.IsSuccess()) cookie->error = cookie->file->Append(std::string_view(buffer, size));
    if (cookie->error.IsError()) {
        errno = FXEnvErrno(cookie->error);
        return 0;  // fopencookie: a failed write reports no bytes
    }
    const char* p = buffer;
    for (const char* end = buffer + size; (p = static_cast<const char*>(std::memchr(p, '\n', end - p))); ++p)
        ++cookie->lines;
    return static_cast<ssize_t>(size);
}

int COutputFile::CloseCookie(void*) { return 0; }  // the file is closed by Close()

COutputFile::COutputFile() = default;

COutputFile::~COutputFile() {
    if (m_stream) std::fclose(m_stream);
}

CKoError COutputFile::Open(const std::string& path, bool append) {
    m_path = path;
    auto cookie = std::make_unique<Cookie>();
    CKoError e = FXEnv::Current()->NewWritableFile(path, append ? EWriteMode::Append : EWriteMode::Truncate, cookie->file);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot open output file, FileName=[%s]", path.c_str());
    cookie_io_functions_t io{};
    io.write = &COutputFile::Write;
    io.close = &COutputFile::CloseCookie;
    m_stream = ::fopencookie(cookie.get(), "w", io);
    if (!m_stream) return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "fopencookie failed, FileName=[%s]", path.c_str());
    std::setvbuf(m_stream, nullptr, _IOFBF, 1 << 18);
    m_cookie = std::move(cookie);
    return CKoError::Success();
}

uint64_t COutputFile::Lines() const { return m_cookie ? m_cookie->lines : 0; }

CKoError COutputFile::Close() {
    if (!m_stream) return CKoError::Success();
    // The error is taken from the cookie, or from errno at once: fclose may change errno.
    errno = 0;
    const bool flushed = std::fflush(m_stream) == 0;
    const int flushErrno = errno != 0 ? errno : EIO;
    std::fclose(m_stream);
    m_stream = nullptr;
    CKoError error = m_cookie->error;
    if (error.IsSuccess() && !flushed) error = FXErrorUtil::ErrorErrNo(ZY_HERE, flushErrno, "fflush failed");
    if (error.IsSuccess()) error = m_cookie->file->Sync();
    CKoError closed = m_cookie->file->Close();
    if (error.IsSuccess()) error = closed;
    if (error.IsError()) return error.Push(ZY_HERE, "Failed to write output file, FileName=[%s]", m_path.c_str());
    return CKoError::Success();
}
