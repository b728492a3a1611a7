// An output file written through stdio over the file-system seam that counts its lines and keeps
// the first write error, so that callers whose writers ignore write failures still learn of a
// full disk.
#pragma once

#include <cstdint>
#include <sys/types.h>

#include <cstdio>
#include <memory>
#include <string>

#include "core/KoError.h"

class COutputFile {
public:
    COutputFile();
    ~COutputFile();
    COutputFile(const COutputFile&) = delete;
    COutputFile& operator=(const COutputFile&) = delete;

    CKoError Open(const std::string& path, bool append);
    FILE* Stream() const { return m_stream; }
    uint64_t Lines() const;
    // Flushes, syncs and closes; the first error since Open (write, flush, sync or close) is
    // reported here.
    CKoError Close();

private:
    struct Cookie;
    static ssize_t Write(void* cookie, const char* buffer, size_t size);
    static int CloseCookie(void* cookie);
    std::string m_path;
    std::unique_ptr<Cookie> m_cookie;
    FILE* m_stream = nullptr;
};
