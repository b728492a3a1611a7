// Splits a large collect file after the scan into parts of about equal size or line count, so
// that more data-reader streams can read it at once.
//
// The collect file F is renamed to F + "_temp" and copied line by line into parts: the first part
// takes the name F again, the others are named by the caller's callback from the next file
// numbers. The caller's (first, last) pair and list of SplitFileInfo describe the new parts.
//
// A split never loses or duplicates a line, whatever stops it. A record of the split, F + "_split"
// (written through FXEnv::Current() and synced at each step), names every part before the part is
// created and says "commit" once all parts are complete and synced:
// - a failure during the split rolls back at once: F is the unsplit collect file again, the parts
//   are gone, the caller's pair and list are as they were, and the outcome is NOT_SPLIT;
// - a crash (or a failure of the roll-back itself, outcome PENDING) leaves the record, and
//   Recover(F) finishes the job later: without "commit" it rolls back as above, with it the parts
//   stand and Recover lists them;
// - after a split (outcome SPLIT, or Recover answering SPLIT), the record stays until the caller
//   has put the parts in its collect-files description and calls Complete(F). Until then the
//   description may still name F alone, and Recover gives the parts to name again
//   (ApplyToCollectFilesInfo does that once only).
//
// One thread per object; splits of different collect files may run at once.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "agent/BatchSort.h"
#include "core/KoError.h"
#include "scan/collect/FlatCollectFileSplitCallback.h"

class CCollectFilesInfo;

struct SplitFileInfo {
    int fileNumber = 0;                // the collect number for the first part
    unsigned long long dataSize = 0;   // sum of the item sizes of its lines
    long long lineCount = 0;
    std::string path;

    SplitFileInfo() = default;
    SplitFileInfo(int number, unsigned long long size, long long lines, std::string filePath = std::string())
        : fileNumber(number), dataSize(size), lineCount(lines), path(std::move(filePath)) {}
};

class FlatCollectFileSplit {
public:
    // Flags.
    static constexpr int SPLIT_BY_SIZE = 0x1;
    static constexpr int SORT_FIRST = 0x2;

    enum EOutcome {
        NOT_RUN,    // Run or Split not called yet
        NOT_SPLIT,  // the collect file stays as it is (too small, or rolled back after a failure)
        SPLIT,      // the parts stand; Complete after the description names them
        PENDING,    // interrupted and not rolled back: Recover finishes it
    };

    // What Recover found.
    struct SRecovery {
        EOutcome outcome = NOT_RUN;  // NOT_RUN: there was nothing to recover
        std::vector<SplitFileInfo> parts;  // for SPLIT: every part, the first one included
    };

    // `fileNumbers` and `parts` are the caller's and must outlive the object: first = the number
    // of the first new part (set when still 0), last = the number of the last; `parts` receives
    // one SplitFileInfo per part, the first part (the collect file's own name) included.
    FlatCollectFileSplit(std::string collectFilePath, int collectNumber, int nextFileNumber, int filesPerStreamFactor,
                         int flags, std::pair<int, int>& fileNumbers, std::vector<SplitFileInfo>& parts,
                         std::shared_ptr<IFlatCollectFileSplitCallback> callback);
    virtual ~FlatCollectFileSplit();
    FlatCollectFileSplit(const FlatCollectFileSplit&) = delete;
    FlatCollectFileSplit& operator=(const FlatCollectFileSplit&) = delete;

    // Sorts first with SORT_FIRST, then splits for `streams` readers. An unfinished split of the
    // same file found on the way is rolled back first; a completed one that the caller has not
    // yet acknowledged (Complete) is refused with Win32 183.
    virtual CKoError Run(int streams);
    // Sorts the lines of the collect file in byte order (the batch sorter writes "tmp_" + name in
    // the same folder, with the work folder "tmp_sort"); the sorted file replaces the original.
    virtual CKoError Sort();
    virtual CKoError Split(int streams);
    // Lines (not empty, taken by the callback), the sum of their item sizes and the lines with an
    // item size above 0.
    virtual CKoError getCollectFileLiniCount(const std::string& path, long long& lines, long long& size,
                                             long long& sizedLines);

    EOutcome GetOutcome() const { return m_outcome; }
    int GetNextFileNumber() const { return m_nextFileNumber; }
    // The sorter to use (the default is a KoBatchSort); the caller keeps it alive.
    void SetBatchSort(IBatchSort* sorter) { m_sorter = sorter; }

    static std::string TempPath(const std::string& collectFilePath) { return collectFilePath + "_temp"; }
    static std::string RecordPath(const std::string& collectFilePath) { return collectFilePath + "_split"; }

    // Finishes what a crash or a failed roll-back left of a split of `collectFilePath`.
    static CKoError Recover(const std::string& collectFilePath, SRecovery& out);
    // The caller's description names the parts now: the split's record (and a "_temp" file still
    // there) goes. Nothing to do is success.
    static CKoError Complete(const std::string& collectFilePath);
    // Replaces `collectFilePath` in the description by the parts, unless it already names them
    // (a second call after a crash changes nothing).
    static CKoError ApplyToCollectFilesInfo(CCollectFilesInfo& info, const std::string& collectFilePath,
                                            const std::vector<SplitFileInfo>& parts);

private:
    class CSession;

    std::string m_collectFilePath;
    int m_collectNumber;
    int m_nextFileNumber;
    int m_filesPerStreamFactor;
    int m_flags;
    std::pair<int, int>& m_fileNumbers;
    std::vector<SplitFileInfo>& m_parts;
    std::shared_ptr<IFlatCollectFileSplitCallback> m_callback;
    IBatchSort* m_sorter = nullptr;
    EOutcome m_outcome = NOT_RUN;
};
