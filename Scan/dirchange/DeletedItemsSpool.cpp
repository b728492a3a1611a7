#include "DeletedItemsSpool.h"

#include <cerrno>

CDeletedItemsSpool::~CDeletedItemsSpool() { Discard(); }

void CDeletedItemsSpool::Discard() {
    m_memory.clear();
    if (m_file) {
        m_out.Detach();
        m_file.reset();
        FXEnv::Current()->RemoveFile(m_path).IgnoreError();
    }
}

CKoError CDeletedItemsSpool::Add(std::string_view line) {
    m_memory.append(line);
    if (m_memory.size() < m_memoryBytes || m_path.empty()) return CKoError::Success();
    if (!m_file) {
        CKoError error = FXEnv::Current()->NewWritableFile(m_path, EWriteMode::Truncate, m_file);
        if (error.IsError()) return error.Push(ZY_HERE, "Cannot keep the deleted items, FileName=[%s]", m_path.c_str());
        m_out.Attach(m_file.get(), 0);
    }
    CKoError error = m_out.Append(m_memory);
    m_memory.clear();
    if (error.IsError()) return error.Push(ZY_HERE, "Cannot keep the deleted items, FileName=[%s]", m_path.c_str());
    return CKoError::Success();
}

CKoError CDeletedItemsSpool::CopyTo(FILE* out) {
    auto write = [out](std::string_view data) -> CKoError {
        errno = 0;
        if (!data.empty() && (std::fwrite(data.data(), 1, data.size(), out) != data.size() || std::ferror(out)))
            return FXErrorUtil::ErrorErrNo(ZY_HERE, errno ? errno : EIO, "Failed to write deleted items");
        return CKoError::Success();
    };
    CKoError error;
    if (m_file) {
        error = m_out.Flush();
        std::unique_ptr<FXRandomAccessFile> in;
        if (error.IsSuccess()) error = FXEnv::Current()->NewRandomAccessFile(m_path, in);
        std::string chunk(256 * 1024, '\0');
        for (uint64_t offset = 0; error.IsSuccess();) {
            size_t got = 0;
            error = in->Read(offset, chunk.data(), chunk.size(), got);
            if (error.IsError() || got == 0) break;
            error = write(std::string_view(chunk.data(), got));
            offset += got;
        }
    }
    if (error.IsSuccess()) error = write(m_memory);
    if (error.IsError()) return error.Push(ZY_HERE);
    return CKoError::Success();
}
