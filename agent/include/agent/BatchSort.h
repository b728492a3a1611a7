// The agent's batch sorter: sorts the lines of a file too large for memory.
#pragma once

#include <string>

#include "core/KoError.h"

class IBatchSort {
public:
    virtual ~IBatchSort() = default;
    // Writes the lines of `input` to `output` (created, or replaced) in byte order, every line
    // kept, duplicates and empty lines included, each ended by a line feed. Intermediate files go
    // to `workDir` (created when missing, removed when left empty). `output` is synced before the
    // call returns; on failure it is removed.
    virtual CKoError Sort(const std::string& input, const std::string& output, const std::string& workDir) = 0;
};
