// A line source over a file of the file-system seam read at explicit offsets.
//
// Readers of block-structured files (the flat DirChange backing files, the tree DirChange file's
// segments) jump from block to block, mostly forward and close together. With a window the
// source keeps the last stretch of the file it read in memory, so a jump inside it costs no
// system call; reads as large as the window go straight to the file.
#pragma once

#include <cstdint>
#include <memory>

#include "core/Env.h"
#include "core/KoError.h"
#include "scan/dirchange/DirChangeFileLineReader.h"

class CPositionalLineSource : public CLineSource {
public:
    static constexpr size_t kDefaultWindow = 256 * 1024;

    // The file is not owned and must outlive the source. `window` 0: no window.
    explicit CPositionalLineSource(const FXRandomAccessFile* file, size_t window = kDefaultWindow);
    explicit CPositionalLineSource(const FXRandomRWFile* file, size_t window = kDefaultWindow);

    CKoError Read(char* buffer, size_t size, size_t& got) override;
    CKoError Seek(uint64_t offset) override;
    uint64_t Position() const { return m_position; }
    // The file was written to: what the window holds may be out of date.
    void Invalidate() { m_windowLength = 0; }
    // The byte at `offset` (through the window); `got` is false past the end of the file.
    CKoError ByteAt(uint64_t offset, char& byte, bool& got);

private:
    CKoError ReadAt(uint64_t offset, char* buffer, size_t n, size_t& got) const;
    CKoError Fill(uint64_t offset);

    const FXRandomAccessFile* m_randomAccess = nullptr;
    const FXRandomRWFile* m_readWrite = nullptr;
    uint64_t m_position = 0;
    size_t m_windowSize;
    std::unique_ptr<char[]> m_window;
    uint64_t m_windowStart = 0;
    size_t m_windowLength = 0;
};
