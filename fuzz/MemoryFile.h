// A sequential file over the fuzzer's bytes, for targets that read through the file-system seam.
// `chunk` > 0 makes reads short and of varying size, so that records straddle reads.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/Env.h"

class CFuzzMemoryFile : public FXSequentialFile {
public:
    CFuzzMemoryFile(const uint8_t* data, size_t size, size_t chunk = 0) : m_data(data), m_size(size), m_chunk(chunk) {}
    CKoError Read(char* buffer, size_t n, size_t& got) override {
        got = std::min(n, m_size - m_at);
        if (m_chunk > 0) got = std::min(got, size_t(1) + (m_at * 7919) % m_chunk);
        std::memcpy(buffer, m_data + m_at, got);
        m_at += got;
        return CKoError::Success();
    }
    CKoError Skip(uint64_t n) override {
        m_at += static_cast<size_t>(std::min<uint64_t>(n, m_size - m_at));
        return CKoError::Success();
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_chunk;
    size_t m_at = 0;
};
