// External merge sort: runs of at most `memoryBudget` bytes (lines and their index) are sorted in
// memory and written to the work folder, then merged, many at a time, into the output. Memory
// stays within the budget (plus one read buffer per merged run) whatever the size of the input.
// All file I/O goes through FXEnv::Current().
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "agent/BatchSort.h"

class KoBatchSort : public IBatchSort {
public:
    static constexpr size_t kDefaultMemoryBudget = 64 * 1024 * 1024;
    static constexpr size_t kMaxMergeWidth = 64;

    explicit KoBatchSort(size_t memoryBudget = kDefaultMemoryBudget) : m_memoryBudget(memoryBudget) {}

    CKoError Sort(const std::string& input, const std::string& output, const std::string& workDir) override;

    // Runs written by the last Sort (for tests and logs).
    size_t RunsWritten() const { return m_runsWritten; }

private:
    CKoError Merge(const std::vector<std::string>& runs, const std::string& output, bool sync);

    size_t m_memoryBudget;
    size_t m_runsWritten = 0;
};
