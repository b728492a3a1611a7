// An output file written through stdio that counts its lines and keeps the first write error,
// so that callers whose writers ignore write failures still learn of a full disk.
#pragma once

#include <cstdint>
#include <sys/types.h>

#include <cstdio>
#include <string>

#include "core/File.h"
#include "core/KoError.h"

class COutputFile {
public:
    COutputFile() = default;
    ~COutputFile();
    COutputFile(const COutputFile&) = delete;
    COutputFile& operator=(const COutputFile&) = delete;

    CKoError Open(const std::string& path, bool append);
    FILE* Stream() const { return m_stream; }
    uint64_t Lines() const;
    // Flushes, syncs and closes; any write error since Open is reported here.
    CKoError Close();

private:
    struct Cookie;
    static ssize_t Write(void* cookie, const char* buffer, size_t size);
    static int CloseCookie(void* cookie);
    std::string m_path;
    Cookie* m_cookie = nullptr;
    FILE* m_stream = nullptr;
};
