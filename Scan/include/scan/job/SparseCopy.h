// Copies a file's data regions and leaves its holes as holes, for the mirror and the restore.
#pragma once

#include <sys/types.h>

#include <cstdint>

class CSparseCopy {
public:
    // Copies the regions of data of `in` (SEEK_DATA / SEEK_HOLE; all of it where the file system
    // does not tell) to the same offsets of `out`, then sets the size of `out` to `size`.
    // Answers 0 or the errno of the failure; `readError` says it was the reading side.
    static int Copy(int in, int out, off_t size, uint64_t& copied, bool& readError);
    // Whether a file of this status has holes worth keeping.
    static bool HasHoles(off_t size, blkcnt_t blocks) { return blocks * 512 < size; }
};
