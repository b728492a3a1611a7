#include "scan/collect/CollectFileSort.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <vector>

#include "CollectLineInput.h"
#include "core/Env.h"
#include "core/LogWriter.h"
#include "core/StringUtil.h"

namespace {

// The name (field 0) and the fields of a line, up to its first "||".
struct SLineFields {
    std::string_view name;
    std::string_view rest;  // "|field|field..." or empty

    explicit SLineFields(std::string_view line) {
        size_t cut = line.find("||");
        if (cut != std::string_view::npos) line = line.substr(0, cut);
        size_t bar = line.find('|');
        name = line.substr(0, bar);
        rest = bar == std::string_view::npos ? std::string_view() : line.substr(bar);
    }

    // Calls `visit(field)` for each field in order until it answers true.
    template <typename Visit>
    void ForEachField(Visit visit) const {
        size_t pos = 0;
        while (pos < rest.size()) {
            size_t next = rest.find('|', pos + 1);
            std::string_view field = rest.substr(pos + 1, next == std::string_view::npos ? next : next - pos - 1);
            if (visit(field)) return;
            pos = next;
        }
    }
};

int DepthOf(std::string_view name) {
    if (name.size() <= 1) return 0;
    int depth = static_cast<int>(std::count(name.begin(), name.end(), '/'));
    // A folder, counted ("/") or not ("/?"), is as deep as its parent's children.
    if (FXString::MatchRight(name, "/") || FXString::MatchRight(name, "/?")) --depth;
    return depth;
}

long long UsnOf(const SLineFields& line) {
    long long usn = 0;
    line.ForEachField([&](std::string_view field) {
        if (!FXString::MatchLeftNoCase(field, "<USN>")) return false;
        // The field ends at "|" or at the NUL after the line, where strtoull stops.
        usn = static_cast<long long>(std::strtoull(field.data() + 5, nullptr, 0));
        return true;
    });
    return usn;
}

int KindOf(const SLineFields& line) {
    static constexpr std::pair<std::string_view, int> kKinds[] = {
        {"<REP>", CCollectFileSort::CHANGE_REP}, {"<REN>", CCollectFileSort::CHANGE_REN},
        {"<DEL>", CCollectFileSort::CHANGE_DEL}, {"<UNEW>", CCollectFileSort::CHANGE_UNEW},
        {"<NEW>", CCollectFileSort::CHANGE_NEW},
    };
    int kind = CCollectFileSort::CHANGE_NONE;
    line.ForEachField([&](std::string_view field) {
        for (const auto& k : kKinds) {
            if (FXString::MatchLeftNoCase(field, k.first)) {
                kind = k.second;
                return true;
            }
        }
        return false;
    });
    return kind;
}

}  // namespace

CCollectFileSort::CCollectFileSort(const std::string& inputFile, const std::string& outputFile)
    : m_inputFile(inputFile), m_outputFile(outputFile) {}

CCollectFileSort::~CCollectFileSort() = default;

CKoError CCollectFileSort::OpenCollectFile() {
    CKoError e = FXFile::zyfopen(m_inputFile, "rb", m_input);
    if (e.IsError()) return e.Push(ZY_HERE, "zyfopen failed, FileName=[%s]", m_inputFile.c_str());
    if (!m_lineBuffer) {
        m_lineBuffer.reset(new char[collectline::kLineBufferSize]);
        m_lineBufferSize = collectline::kLineBufferSize;
    }
    e = MoveToPosition(0);
    if (e.IsError()) return e.Push(ZY_HERE, "MoveToPosition failed");
    return CKoError::Success();
}

CKoError CCollectFileSort::MoveToPosition(long long offset) {
    if (!m_input.IsOpen()) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "File not open");
    if (fseeko(m_input.Get(), static_cast<off_t>(offset), SEEK_SET) != 0) {
        return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "fseek failed, Position=[%lld]", offset);
    }
    m_position = offset;
    return CKoError::Success();
}

long long CCollectFileSort::GetCurrentPosition() const {
    return m_input.IsOpen() ? static_cast<long long>(ftello(m_input.Get())) : 0;
}

CKoError CCollectFileSort::SkipRestOfLine() {
    FILE* f = m_input.Get();
    for (int c = getc_unlocked(f); c != EOF; c = getc_unlocked(f)) {
        ++m_position;
        if (c == '\n') return CKoError::Success();
    }
    if (ferror_unlocked(f)) return FXErrorUtil::ErrorErrNo(ZY_HERE, errno ? errno : EIO, "Failed to read collect file");
    return CKoError::Success();
}

CKoError CCollectFileSort::GetNextLine(int* depth, int* kind, long long* usn, long long* offset) {
    if (!offset) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "Offset pointer is NULL");
    if (!m_input.IsOpen()) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "File not open");
    *offset = m_position;
    char* buffer = m_lineBuffer.get();
    collectline::SPiece piece;
    switch (collectline::ReadPiece(m_input.Get(), buffer, m_lineBufferSize, m_position, piece)) {
        case collectline::EReadResult::End:
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NO_MORE_ITEMS, "End of collect file, FileName=[%s]",
                                           m_inputFile.c_str());
        case collectline::EReadResult::Error:
            return FXErrorUtil::ErrorErrNo(ZY_HERE, piece.error, "Failed to read collect file");
        case collectline::EReadResult::Read: break;
    }
    m_position = piece.endOffset;
    bool wholeLine = piece.lineFeedTaken || (piece.length > 0 && buffer[piece.length - 1] == '\n');
    size_t length = collectline::TrimLineEnd(buffer, piece.length);
    buffer[length] = '\0';
    // A longer line stays one line: sorting its pieces apart would tear it.
    if (!wholeLine) {
        CKoError e = SkipRestOfLine();
        if (e.IsError()) return e.Push(ZY_HERE, "Cannot skip a long line, Offset=[%lld]", *offset);
    }

    SLineFields line(std::string_view(buffer, length));
    if (depth) *depth = DepthOf(line.name);
    if (usn) *usn = UsnOf(line);
    if (kind) *kind = KindOf(line);
    return CKoError::Success();
}

CKoError CCollectFileSort::CopyLine(long long offset, FILE* out, bool writeSequence, long long sequence) {
    CKoError e = MoveToPosition(offset);
    if (e.IsError()) return e.Push(ZY_HERE, "MoveToPosition failed, Offset=[%lld]", offset);
    char* buffer = m_lineBuffer.get();
    for (bool first = true;; first = false) {
        collectline::SPiece piece;
        collectline::EReadResult r = collectline::ReadPiece(m_input.Get(), buffer, m_lineBufferSize, m_position, piece);
        if (r == collectline::EReadResult::End && !first) break;  // a last line without a line feed
        if (r != collectline::EReadResult::Read) {
            if (r == collectline::EReadResult::End) piece.error = EIO;  // the line was there a moment ago
            return FXErrorUtil::ErrorErrNo(ZY_HERE, piece.error, "Failed to read collect file, Offset=[%lld]", offset);
        }
        m_position = piece.endOffset;
        bool lineEnds = piece.lineFeedTaken || (piece.length > 0 && buffer[piece.length - 1] == '\n');
        size_t length = lineEnds ? collectline::TrimLineEnd(buffer, piece.length) : piece.length;
        if (length > 0 && fwrite_unlocked(buffer, 1, length, out) != length) {
            return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "fputs failed");
        }
        if (lineEnds) break;
    }
    if (writeSequence) {
        char tag[40];
        int n = std::snprintf(tag, sizeof tag, "|<SEQUENCE>%lld", sequence);
        if (fwrite_unlocked(tag, 1, static_cast<size_t>(n), out) != static_cast<size_t>(n)) {
            return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "fputs failed");
        }
    }
    if (fputc_unlocked('\n', out) == EOF) return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "fputs failed");
    return CKoError::Success();
}

template <typename Record>
CKoError CCollectFileSort::WriteSorted(const Record* records, size_t count, bool writeSequence) {
    // Written under a temporary name and moved over the output when complete and on disk, so a
    // stopped sort never leaves a short file where a whole one is expected.
    FXDurableReplace replace(m_outputFile);
    FXFileHandle out;
    CKoError e = replace.Open();
    if (e.IsSuccess()) e = FXFile::OpenReplaceStream(replace, out);
    if (e.IsError()) return e.Push(ZY_HERE, "Failed to open file, FileName=[%s]", m_outputFile.c_str());
    std::setvbuf(out.Get(), nullptr, _IOFBF, 1 << 16);
    for (size_t i = 0; i < count; ++i) {
        long long sequence = 0;
        if constexpr (std::is_same_v<Record, CCollectFileSequenceSortInfo>) sequence = records[i].sequence;
        e = CopyLine(records[i].offset, out.Get(), writeSequence, sequence);
        if (e.IsError()) break;
    }
    if (e.IsSuccess()) e = out.Close();
    if (e.IsSuccess()) e = replace.Commit();
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot write the sorted collect file, FileName=[%s]", m_outputFile.c_str());
    return CKoError::Success();
}

template <typename Record, typename MakeRecord>
CKoError CCollectFileSort::Sort(MakeRecord makeRecord, bool writeSequence) {
    CKoError e = OpenCollectFile();
    if (e.IsError()) return e.Push(ZY_HERE, "OpenCollectFile failed");
    // A sorted vector holds the same (key, offset) order as a set at a fraction of the memory.
    std::vector<Record> records;
    for (;;) {
        int depth = 0, kind = 0;
        long long usn = 0, offset = 0;
        e = GetNextLine(&depth, &kind, &usn, &offset);
        if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_NO_MORE_ITEMS)) break;
        if (e.IsError()) return e.Push(ZY_HERE, "GetNextLine failed");
        records.push_back(makeRecord(depth, kind, usn, offset));
    }
    std::sort(records.begin(), records.end());
    ZYLOG(3, "Sorting collect file, FileName=[%s], Lines=[%zu], Output=[%s]", m_inputFile.c_str(), records.size(),
          m_outputFile.c_str());
    e = WriteSorted(records.data(), records.size(), writeSequence);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CCollectFileSort::SortByDepth() {
    CKoError e = Sort<CCollectFileFolderDepthSortInfo>(
        [](int depth, int, long long, long long offset) { return CCollectFileFolderDepthSortInfo{depth, offset}; },
        false);
    if (e.IsError()) return e.Push(ZY_HERE);
    return e;
}

CKoError CCollectFileSort::SortByUsn() {
    CKoError e = Sort<CCollectFileUsnSortInfo>(
        [](int, int, long long usn, long long offset) { return CCollectFileUsnSortInfo{usn, offset}; }, false);
    if (e.IsError()) return e.Push(ZY_HERE);
    return e;
}

CKoError CCollectFileSort::SortBySequence() {
    CKoError e = Sort<CCollectFileSequenceSortInfo>(
        [](int depth, int kind, long long, long long offset) {
            return CCollectFileSequenceSortInfo{depth * 6 + kind, offset};
        },
        true);
    if (e.IsError()) return e.Push(ZY_HERE);
    return e;
}
