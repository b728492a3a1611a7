// Lines of a file read through the seam, into one buffer reused from line to line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/Env.h"

class CSequentialLineReader {
public:
    // Lines longer than `maxLine` bytes are an error (Win32 13): a job file has no such lines,
    // and a reader that grew without bound on a damaged file would run out of memory.
    CSequentialLineReader(FXSequentialFile& file, size_t maxLine);

    // The next line without its line feed (a carriage return stays); `got` is false at the end.
    // The line stays valid until the next call. A last line without a line feed counts.
    CKoError Next(std::string_view& line, bool& got);

private:
    FXSequentialFile& m_file;
    size_t m_maxLine;
    std::vector<char> m_buffer;
    size_t m_start = 0;
    size_t m_end = 0;
    size_t m_scanned = 0;  // bytes from m_start known to hold no line feed
    bool m_eof = false;
};
