// Rewrites an extended-form collect file (endpoint-sync jobs) with its lines in a safe order:
// parents before children, by change sequence number, or by depth and kind of change. Only a key
// and an offset per line are held in memory; the lines are copied from the input by offset.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/File.h"
#include "core/KoError.h"

// Sort records: by key, then by the line's offset (so equal keys keep the input order).
struct CCollectFileFolderDepthSortInfo {
    int32_t depth = 0;
    int64_t offset = 0;
    bool operator<(const CCollectFileFolderDepthSortInfo& o) const {
        return depth != o.depth ? depth < o.depth : offset < o.offset;
    }
};

struct CCollectFileUsnSortInfo {
    int64_t usn = 0;
    int64_t offset = 0;
    bool operator<(const CCollectFileUsnSortInfo& o) const { return usn != o.usn ? usn < o.usn : offset < o.offset; }
};

struct CCollectFileSequenceSortInfo {
    int32_t sequence = 0;
    int64_t offset = 0;
    bool operator<(const CCollectFileSequenceSortInfo& o) const {
        return sequence != o.sequence ? sequence < o.sequence : offset < o.offset;
    }
};

class CCollectFileSort {
public:
    // The kind of change a line's tags announce; the sequence key is depth * 6 + kind.
    enum EChangeKind { CHANGE_NONE = 0, CHANGE_REP = 1, CHANGE_REN = 2, CHANGE_DEL = 3, CHANGE_UNEW = 4, CHANGE_NEW = 5 };

    CCollectFileSort(const std::string& inputFile, const std::string& outputFile);
    ~CCollectFileSort();
    CCollectFileSort(const CCollectFileSort&) = delete;
    CCollectFileSort& operator=(const CCollectFileSort&) = delete;

    CKoError OpenCollectFile();
    CKoError MoveToPosition(long long offset);
    long long GetCurrentPosition() const;
    // Reads one line and answers the keys asked for (null pointers are not filled, except `offset`,
    // which must be given). A line longer than the buffer is one line: its keys come from its first
    // 65,535 bytes. The end of the file is Win32 259.
    CKoError GetNextLine(int* depth, int* kind, long long* usn, long long* offset);

    // The output replaces the output file in one step when complete.
    CKoError SortByDepth();
    CKoError SortByUsn();
    CKoError SortBySequence();

private:
    template <typename Record, typename MakeRecord>
    CKoError Sort(MakeRecord makeRecord, bool writeSequence);
    template <typename Record>
    CKoError WriteSorted(const Record* records, size_t count, bool writeSequence);
    CKoError CopyLine(long long offset, FILE* out, bool writeSequence, long long sequence);
    CKoError SkipRestOfLine();

    std::string m_inputFile;
    FXFileHandle m_input;
    std::string m_outputFile;
    std::unique_ptr<char[]> m_lineBuffer;
    size_t m_lineBufferSize = 0;
    long long m_position = 0;  // stream position, kept alongside the stream to size each read
};
