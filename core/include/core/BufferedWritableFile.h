// Appends to a file through the file-system seam in large writes: writers of one line per item
// copy each line into a buffer and the file sees one write per buffer.
//
// The first failure sticks: every later Append, Flush, Sync or Close reports it, so a writer that
// only checks Close still learns that a line was lost. Not thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/Env.h"
#include "core/KoError.h"

class FXBufferedWritableFile {
public:
    static constexpr size_t kDefaultBufferSize = 256 * 1024;

    explicit FXBufferedWritableFile(size_t bufferSize = kDefaultBufferSize);
    ~FXBufferedWritableFile();
    FXBufferedWritableFile(const FXBufferedWritableFile&) = delete;
    FXBufferedWritableFile& operator=(const FXBufferedWritableFile&) = delete;

    // Opens `path` through FXEnv::Current(); an open file is closed first (its error ignored).
    CKoError Open(const std::string& path, EWriteMode mode, const FXOpenOptions& options = FXOpenOptions());
    bool IsOpen() const { return m_file != nullptr; }
    const std::string& Path() const { return m_path; }

    CKoError Append(std::string_view data);
    // `line` and a line feed.
    CKoError AppendLine(std::string_view line);
    // Hands the buffer to the file.
    CKoError Flush();
    // Flushes and makes the content durable.
    CKoError Sync();
    // Flushes and closes; the object can be opened again afterwards.
    CKoError Close();
    // Closes without writing what is still buffered (after a failure, or to drop the file).
    void Abandon();

    // The file's size with what is buffered: the position of the next byte.
    uint64_t Size() const { return m_flushed + m_used; }

private:
    CKoError Fail(CKoError e);

    std::unique_ptr<FXWritableFile> m_file;
    std::string m_path;
    std::unique_ptr<char[]> m_buffer;
    size_t m_capacity;
    size_t m_used = 0;
    uint64_t m_flushed = 0;
    CKoError m_error;
};
