// Appends lines to a file of the file-system seam through a buffer, and knows where each line
// lands: Position() is the file's size as it will be once the buffer is written.
//
// A failed write leaves the file cut back to its last complete write, so it never ends in a torn
// line, and makes every later write fail with the same error: offsets handed out for the bytes
// that were lost must never be read as if those bytes were there.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/Env.h"
#include "core/KoError.h"
#include "core/TimeStamp.h"

class CBufferedFileAppender {
public:
    static constexpr size_t kFlushSize = 64 * 1024;

    CBufferedFileAppender() = default;
    CBufferedFileAppender(const CBufferedFileAppender&) = delete;
    CBufferedFileAppender& operator=(const CBufferedFileAppender&) = delete;

    // The file is not owned; `size` is where appending starts (the file's current size).
    void Attach(FXWritableFile* file, uint64_t size);
    void Attach(FXRandomRWFile* file, uint64_t size);
    // Forgets the file (after Flush; unwritten bytes are dropped).
    void Detach();
    bool IsAttached() const { return m_writable || m_readWrite; }

    // Adds bytes; writes the buffer once it is large. Fails with the sticky error after a failure.
    CKoError Append(std::string_view data);
    CKoError Flush();
    uint64_t Position() const { return m_written + m_buffer.size(); }
    // The size the file has on disk (everything before this offset can be read back).
    uint64_t Written() const { return m_written; }
    bool HasPending() const { return !m_buffer.empty(); }
    const CKoError& Error() const { return m_error; }
    // Every write of the buffer is timed on it (may be null).
    void SetWriteTimer(CTimeCounter* timer) { m_timer = timer; }

private:
    FXWritableFile* m_writable = nullptr;
    FXRandomRWFile* m_readWrite = nullptr;
    uint64_t m_written = 0;
    std::string m_buffer;
    CKoError m_error;
    CTimeCounter* m_timer = nullptr;
};
