// Reading collect-file lines through stdio in pieces of at most one buffer, shared by the
// reader and the sort. Private to the collect sources.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace collectline {

// 64 KiB: a line of up to 65,535 bytes comes back whole, longer ones in pieces.
constexpr size_t kLineBufferSize = 65536;

enum class EReadResult { Read, End, Error };

struct SPiece {
    size_t length = 0;         // bytes in the buffer, line feed included when read
    bool lineFeedTaken = false;  // the line feed followed a full buffer and was taken too
    long long endOffset = 0;   // stream position after the piece
    int error = 0;             // errno of a failed read
};

// Reads the next piece (fgets) starting at `startOffset`, the stream's current position.
// When a line exactly fills the buffer its line feed is taken at once; otherwise the next read
// would return it as an empty line.
inline EReadResult ReadPiece(FILE* file, char* buffer, size_t bufferSize, long long startOffset, SPiece& piece) {
    piece = SPiece{};
    errno = 0;
    if (!fgets_unlocked(buffer, static_cast<int>(bufferSize), file)) {
        if (ferror_unlocked(file)) {
            piece.error = errno ? errno : EIO;
            return EReadResult::Error;
        }
        return EReadResult::End;
    }
    // fgets stops at the first line feed or when the buffer is full, so a piece that ends in a line
    // feed or fills the buffer holds no NUL and strlen is its length. Otherwise (a NUL inside the
    // line, or a last line without line feed) the stream position says how much was read.
    size_t length = std::strlen(buffer);
    long long position = startOffset + static_cast<long long>(length);
    if (!(length == bufferSize - 1 || (length > 0 && buffer[length - 1] == '\n'))) {
        long long streamPosition = ftello(file);
        long long consumed = streamPosition - startOffset;
        if (streamPosition >= 0 && consumed > static_cast<long long>(length) &&
            static_cast<size_t>(consumed) < bufferSize && buffer[consumed] == '\0') {
            length = static_cast<size_t>(consumed);
        }
        if (streamPosition >= 0) position = streamPosition;
    }
    piece.length = length;
    if (length == bufferSize - 1 && buffer[length - 1] != '\n') {
        int next = getc_unlocked(file);
        if (next == '\n') {
            piece.lineFeedTaken = true;
            ++position;
        } else if (next != EOF) {
            ungetc(next, file);
        }
    }
    piece.endOffset = position;
    return EReadResult::Read;
}

// The length without the trailing CR and LF bytes.
inline size_t TrimLineEnd(const char* buffer, size_t length) {
    while (length > 0 && (buffer[length - 1] == '\n' || buffer[length - 1] == '\r')) --length;
    return length;
}

}  // namespace collectline
