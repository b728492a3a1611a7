// Stand-in for the agent's external batch sort: sorts the lines of a file of any size into
// another file, in runs that fit a memory budget, merged at the end. Lines compare as bytes;
// every output line ends with a line feed. All I/O goes through the file seam.
#pragma once

#include <cstddef>
#include <string>

#include "core/KoError.h"

class ZyBatchSort {
public:
    // Run files go to `workDir` (created when missing) and are removed at the end.
    static CKoError SortFile(const std::string& input, const std::string& output, const std::string& workDir,
                             size_t memoryBytes = 64u << 20);
};
