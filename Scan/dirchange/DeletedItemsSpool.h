// Deleted-item lines found while a scan goes, kept until the job lists its deleted items: in
// memory up to a few MB, then in a file beside the current DirChange, so that a job that deletes
// millions of files in folders it keeps does not hold them all in memory.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "core/Env.h"
#include "core/KoError.h"
#include "scan/dirchange/BufferedFileAppender.h"

class CDeletedItemsSpool {
public:
    explicit CDeletedItemsSpool(size_t memoryBytes) : m_memoryBytes(memoryBytes) {}
    ~CDeletedItemsSpool();
    CDeletedItemsSpool(const CDeletedItemsSpool&) = delete;
    CDeletedItemsSpool& operator=(const CDeletedItemsSpool&) = delete;

    // Where lines go once memory holds enough of them (removed by CopyTo and when the spool goes).
    void SetFile(const std::string& path) { m_path = path; }
    // Appends one line (with its LF).
    CKoError Add(std::string_view line);
    // Writes every line to `out`, in the order added.
    CKoError CopyTo(FILE* out);

private:
    void Discard();

    size_t m_memoryBytes;
    std::string m_path;
    std::string m_memory;
    std::unique_ptr<FXWritableFile> m_file;
    CBufferedFileAppender m_out;
};
