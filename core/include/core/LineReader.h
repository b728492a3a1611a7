// Reads a file line by line through the file-system seam, with one buffer for the whole file: a
// reader of millions of lines allocates nothing per line, and its memory is bounded by the
// longest line it accepts, never by the size of the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/Env.h"
#include "core/KoError.h"

class FXLineReader {
public:
    static constexpr size_t kDefaultBufferSize = 256 * 1024;
    static constexpr size_t kDefaultMaxLine = 16 * 1024 * 1024;

    FXLineReader() = default;
    // Reads `file`; `name` is for messages. A line longer than `maxLine` bytes is an error (Win32
    // 13), so a file without line feeds cannot make the reader hold all of it.
    explicit FXLineReader(std::unique_ptr<FXSequentialFile> file, std::string name = std::string(),
                          size_t bufferSize = kDefaultBufferSize, size_t maxLine = kDefaultMaxLine);
    FXLineReader(const FXLineReader&) = delete;
    FXLineReader& operator=(const FXLineReader&) = delete;

    // Opens `path` through FXEnv::Current().
    CKoError Open(const std::string& path, size_t bufferSize = kDefaultBufferSize, size_t maxLine = kDefaultMaxLine);
    bool IsOpen() const { return m_file != nullptr; }

    // The next line without its line feed (a last line without one is a line too). `got` is false
    // at the end of the file. The view stays valid until the next call.
    CKoError Next(std::string_view& line, bool& got);
    // Bytes of the file consumed by the lines returned so far (their line feeds included).
    uint64_t Offset() const { return m_offset; }
    const std::string& Name() const { return m_name; }
    void Close();

private:
    CKoError Fill();

    std::unique_ptr<FXSequentialFile> m_file;
    std::string m_name;
    std::vector<char> m_buffer;
    size_t m_begin = 0, m_end = 0;
    size_t m_maxLine = kDefaultMaxLine;
    bool m_eof = false;
    uint64_t m_offset = 0;
};
