// Checks made before a job file is handed to a reader that would trust it: a job file is a
// regular file (not a link, a FIFO or a device, which could make a reader follow it elsewhere,
// block or read for ever), of a bounded size, and a collect file is as long as the scan wrote it
// and ends with a line end.
#pragma once

#include <cstdint>
#include <string>

#include "core/KoError.h"

class CJobFileGuard {
public:
    // Job files larger than this are damaged: no job file of ours grows without bound per line.
    static constexpr uint64_t kMaxDocumentSize = 256ull << 20;

    // `exists` is false for a missing file (success); anything but a regular file of at most
    // `maxSize` bytes is an error naming the file.
    static CKoError RequireRegular(const std::string& path, uint64_t maxSize, bool& exists, uint64_t* size = nullptr);
    // Like RequireRegular, but what stands there and is not a regular file (a planted link) is
    // removed, so that a writer that creates the file does not write through it.
    static CKoError ClearIfNotRegular(const std::string& path);
    // A collect file must exist, be regular, end with a line end (unless empty) and, when the scan
    // recorded its size (`expectedSize` non-zero), have exactly that size.
    static CKoError CheckCollectFile(const std::string& path, uint64_t expectedSize, uint64_t& size);
};
