#include "scan/collect/CollectFileReader.h"

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <type_traits>

#include "CollectLineInput.h"
#include "agent/PlatformServices.h"
#include "core/File.h"
#include "core/LogWriter.h"
#include "core/StringUtil.h"

namespace {

enum class ETag {
    Unknown, DIR, FILE, BAP, BHO, DDNE, HIB, REN, DEL, SRCVOLPATH, MA, DEPTH, AB, CPUSH, ACCESS, JR, FS, CSUM,
    STRIP, PSEUDO, ADHOC, DPtim, DPloc, DPrsn, BSM, BPG, BRP, BDAB, USN, NEW, UNEW, REP, FRN, MTIME, MDATA,
    PXOFFSET, PXSIZE, FABRICATED, CONTENT_BACKUP, FEI, FEN, FES, LWTIME, LATIME, CTIME, VG
};

// The first (up to) eight bytes of a key as one number, so that a key is found by a switch.
constexpr uint64_t Pack(std::string_view key) {
    uint64_t packed = 0;
    for (size_t i = 0; i < key.size() && i < 8; ++i) packed |= uint64_t(static_cast<unsigned char>(key[i])) << (8 * i);
    return packed;
}

constexpr size_t kLongestTag = 14;  // "CONTENT_BACKUP"

// Keys are matched without regard to case: the key is folded into a small stack buffer, never
// into a new string.
ETag LookupTag(std::string_view key) {
    if (key.empty() || key.size() > kLongestTag) return ETag::Unknown;
    char upper[kLongestTag];
    for (size_t i = 0; i < key.size(); ++i) {
        char c = key[i];
        upper[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    const std::string_view folded(upper, key.size());
    const uint64_t packed = Pack(folded);
    switch (key.size()) {
        case 2:
            switch (packed) {
                case Pack("AB"): return ETag::AB;
                case Pack("FS"): return ETag::FS;
                case Pack("JR"): return ETag::JR;
                case Pack("MA"): return ETag::MA;
                case Pack("VG"): return ETag::VG;
            }
            break;
        case 3:
            switch (packed) {
                case Pack("DIR"): return ETag::DIR;
                case Pack("BAP"): return ETag::BAP;
                case Pack("BHO"): return ETag::BHO;
                case Pack("HIB"): return ETag::HIB;
                case Pack("REN"): return ETag::REN;
                case Pack("DEL"): return ETag::DEL;
                case Pack("BSM"): return ETag::BSM;
                case Pack("BPG"): return ETag::BPG;
                case Pack("BRP"): return ETag::BRP;
                case Pack("USN"): return ETag::USN;
                case Pack("NEW"): return ETag::NEW;
                case Pack("REP"): return ETag::REP;
                case Pack("FRN"): return ETag::FRN;
                case Pack("FEI"): return ETag::FEI;
                case Pack("FEN"): return ETag::FEN;
                case Pack("FES"): return ETag::FES;
            }
            break;
        case 4:
            switch (packed) {
                case Pack("FILE"): return ETag::FILE;
                case Pack("DDNE"): return ETag::DDNE;
                case Pack("CSUM"): return ETag::CSUM;
                case Pack("BDAB"): return ETag::BDAB;
                case Pack("UNEW"): return ETag::UNEW;
            }
            break;
        case 5:
            switch (packed) {
                case Pack("DEPTH"): return ETag::DEPTH;
                case Pack("CPUSH"): return ETag::CPUSH;
                case Pack("STRIP"): return ETag::STRIP;
                case Pack("ADHOC"): return ETag::ADHOC;
                case Pack("DPTIM"): return ETag::DPtim;
                case Pack("DPLOC"): return ETag::DPloc;
                case Pack("DPRSN"): return ETag::DPrsn;
                case Pack("MTIME"): return ETag::MTIME;
                case Pack("MDATA"): return ETag::MDATA;
                case Pack("CTIME"): return ETag::CTIME;
            }
            break;
        case 6:
            switch (packed) {
                case Pack("ACCESS"): return ETag::ACCESS;
                case Pack("PSEUDO"): return ETag::PSEUDO;
                case Pack("PXSIZE"): return ETag::PXSIZE;
                case Pack("LWTIME"): return ETag::LWTIME;
                case Pack("LATIME"): return ETag::LATIME;
            }
            break;
        case 8:
            if (packed == Pack("PXOFFSET")) return ETag::PXOFFSET;
            break;
        case 10:
            if (folded == "SRCVOLPATH") return ETag::SRCVOLPATH;
            if (folded == "FABRICATED") return ETag::FABRICATED;
            break;
        case 14:
            if (folded == "CONTENT_BACKUP") return ETag::CONTENT_BACKUP;
            break;
    }
    return ETag::Unknown;
}

// Tag values end at the next "|" or at the NUL after the line, so the C parsers stop in time.
// Plain decimal values (the usual case) are read directly; anything else (a sign, a base prefix,
// spaces, overflow) goes to strtoll/strtoull, whose results are the rule.
bool ParsePlainDecimal(std::string_view value, unsigned long long& out) {
    if (value.empty() || value.size() > 18 || (value[0] == '0' && value.size() > 1)) return false;
    unsigned long long v = 0;
    for (char c : value) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    out = v;
    return true;
}

long long ParseSigned(std::string_view value, int base) {
    unsigned long long v;
    if (ParsePlainDecimal(value, v)) return static_cast<long long>(v);
    return std::strtoll(value.data(), nullptr, base);
}

unsigned long long ParseUnsigned(std::string_view value, int base) {
    unsigned long long v;
    if (ParsePlainDecimal(value, v)) return v;
    return std::strtoull(value.data(), nullptr, base);
}

constexpr std::string_view kPhantomSuffix = "phantomCollect.zyf";
constexpr size_t kStreamBufferSize = 256 * 1024;

}  // namespace

// The state of the line just read. Reset before every line.
struct SCollectLineState {
    // (Trivially copyable: it is reset by copying bytes.)
    bool brimNew = false;
    bool brimModified = false;
    bool brimRename = false;
    bool brimDeleted = false;
    bool brimReplaced = false;
    bool brimMovedUnderNewFolder = false;
    bool legalHold = false;
    bool backslash = false;
    bool resetArchiveBit = true;
    bool pathContainsMountPoint = false;
    bool catalogOnly = false;
    bool flrRoot = false;
    bool recursiveDeleted = false;
    bool deleted = false;
    bool counted = true;
    bool parentPath = false;
    bool affinityFabricated = false;
    bool contentPush = false;
    bool selectedForAccess = false;
    int32_t systemStateType = 0;
    int32_t systemStateBackupMethod = 0;
    bool backupCopyOnly = false;
    bool snapBackupOnly = false;
    bool backupHeaderOnly = false;
    bool dirDoesNotExist = false;
    bool hideInBrowse = false;
    bool rename = false;
    bool brimDeleteAfterBackup = false;
    bool migrationAssistantPath = false;
    bool directory = false;
    int64_t fileSize = 0;
    int64_t fileId = 0;
    uint32_t stripLevel = 0;
    int64_t pxDataOffset = 0;
    int64_t pxDataSize = 0;
    bool adhoc = false;
    uint32_t fileExtentItemType = 0;
    uint64_t numOfFileExtents = 0;
    uint64_t fileExtentSize = 0;
    std::optional<uint64_t> lastWriteTime;
    std::optional<uint64_t> lastAccessTime;
    std::optional<int64_t> lastChangeTime;
};

static_assert(std::is_trivially_copyable_v<SCollectLineState>);

class CCollectFileReaderPrivate {
public:
    explicit CCollectFileReaderPrivate(const std::string& collectFileName)
        : m_collectFileName(collectFileName),
          m_phantom(FXString::MatchRightNoCase(collectFileName, kPhantomSuffix)) {}

    void SetCurrentJobResultsDir();
    CKoError OpenCollectFile();
    CKoError MoveToPosition(long long offset);
    CKoError GetNextLine(std::string& line);
    int GetNextCharacter();

    std::string m_collectFileName;
    // The stream's buffer: larger than the default so that a long file takes few read calls. It
    // outlives the stream, which is declared after it.
    std::unique_ptr<char[]> m_streamBuffer;
    FXFileHandle m_file;
    bool m_phantom = false;
    long long m_currentOffset = 0;
    long long m_currentItemOffset = 0;
    bool m_hasStartCharacters = true;
    std::unique_ptr<char[]> m_lineBuffer;
    size_t m_lineBufferSize = 0;
    CKoError m_fileReadError;

    // The current line. The strings keep their capacity from line to line.
    std::string m_originalLine;
    std::string m_itemName;
    std::string m_wellKnownFolderMetadata;
    std::string m_ddbMetadata;
    std::string m_backupAtPath;
    std::string m_brimRealPath;
    std::string m_brimParentGuid;
    std::string m_sourceVolumePath;
    std::string m_metadataFile;
    std::string m_checkSum;
    std::string m_pseudoPath;
    std::string m_versionGuid;
    bool m_fieldStringsSet = false;  // a field string above may hold a value of the last line
    SCollectLineState m_state;

    std::string m_writerJobResultsDir;  // from the "JR" tag; kept from line to line
    std::string m_localJobResultsDir;

private:
    void ResetLineState();
    CKoError ParseStartCharacters(std::string_view& line);
    void ParseFields(std::string_view line);
    void ParseField(std::string_view field);
    void ApplyTag(ETag tag, std::string_view value);
    void ParseTrailingFilenameCharacters();
    void RewriteJobResultsDir();
};

void CCollectFileReaderPrivate::SetCurrentJobResultsDir() {
    if (ZYPI_Focus::AmIAService()) return;
    std::string dir;
    CKoError e = ZYPI_CommClient::getJobResultsDirectory(ZYPI_Focus::getFocusClientName(true), dir);
    if (e.IsError()) {
        ZYLOG(3, "No local job-results folder, names are not rewritten. Error=[%s]", e.AsString().c_str());
        return;
    }
    m_localJobResultsDir = dir;
}

CKoError CCollectFileReaderPrivate::OpenCollectFile() {
    m_file.Reset();
    CKoError e = FXFile::zyfopen(m_collectFileName, "rb", m_file);
    if (e.IsError()) return e.Push(ZY_HERE, "zyfopen failed, FileName=[%s]", m_collectFileName.c_str());
    if (!m_streamBuffer) m_streamBuffer.reset(new char[kStreamBufferSize]);
    std::setvbuf(m_file.Get(), m_streamBuffer.get(), _IOFBF, kStreamBufferSize);
    if (!m_lineBuffer) {
        m_lineBuffer.reset(new char[collectline::kLineBufferSize]);
        m_lineBufferSize = collectline::kLineBufferSize;
    }
    m_fileReadError = CKoError::Success();
    e = MoveToPosition(0);
    if (e.IsError()) return e.Push(ZY_HERE, "MoveToPosition failed");
    return CKoError::Success();
}

CKoError CCollectFileReaderPrivate::MoveToPosition(long long offset) {
    if (!m_file.IsOpen()) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "File not open");
    if (fseeko(m_file.Get(), static_cast<off_t>(offset), SEEK_SET) != 0) {
        return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "fseek failed, Position=%lld", offset);
    }
    m_currentOffset = offset;
    return CKoError::Success();
}

int CCollectFileReaderPrivate::GetNextCharacter() {
    if (!m_file.IsOpen()) return EOF;
    int c = std::fgetc(m_file.Get());
    // Keep the offset true so the next line starts where this byte ended.
    if (c != EOF) ++m_currentOffset;
    return c;
}

void CCollectFileReaderPrivate::ResetLineState() {
    m_originalLine.clear();
    m_itemName.clear();
    // Copied from a constant rather than value-initialised: a few wide moves instead of the
    // slow-starting "rep stos" the compiler emits for zeroing.
    static const SCollectLineState kInitial{};
    std::memcpy(static_cast<void*>(&m_state), &kInitial, sizeof m_state);
    // Most lines carry no field at all.
    if (!m_fieldStringsSet) return;
    m_fieldStringsSet = false;
    m_wellKnownFolderMetadata.clear();
    m_ddbMetadata.clear();
    m_backupAtPath.clear();
    m_brimRealPath.clear();
    m_brimParentGuid.clear();
    m_sourceVolumePath.clear();
    m_metadataFile.clear();
    m_checkSum.clear();
    m_pseudoPath.clear();
    // The file id, file extents, times and version GUID are cleared too: a line without them must
    // not report an earlier line's values.
    m_versionGuid.clear();
}

CKoError CCollectFileReaderPrivate::GetNextLine(std::string& line) {
    ResetLineState();
    if (!m_file.IsOpen()) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "File not open");

    m_currentItemOffset = m_currentOffset;
    char* buffer = m_lineBuffer.get();
    collectline::SPiece piece;
    switch (collectline::ReadPiece(m_file.Get(), buffer, m_lineBufferSize, m_currentOffset, piece)) {
        case collectline::EReadResult::End:
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NO_MORE_ITEMS, "End of collect file, FileName=[%s]",
                                           m_collectFileName.c_str());
        case collectline::EReadResult::Error:
            m_fileReadError = FXErrorUtil::ErrorErrNo(ZY_HERE, piece.error, "Failed to read collect file");
            return m_fileReadError;
        case collectline::EReadResult::Read: break;
    }
    m_currentOffset = piece.endOffset;
    m_originalLine.assign(buffer, piece.length);
    if (piece.lineFeedTaken) m_originalLine.push_back('\n');
    size_t length = collectline::TrimLineEnd(buffer, piece.length);
    buffer[length] = '\0';

    std::string_view text(buffer, length);
    if (m_hasStartCharacters) {
        CKoError e = ParseStartCharacters(text);
        if (e.IsError()) return e.Push(ZY_HERE, "ParseStartCharacters failed");
        if (m_state.legalHold) {
            line.assign(m_itemName);
            return CKoError::Success();
        }
    } else if (m_phantom && text.size() >= 2 && text[0] == '\\') {
        text.remove_prefix(1);
    }

    ParseFields(text);
    if (m_hasStartCharacters) ParseTrailingFilenameCharacters();
    RewriteJobResultsDir();

    ZYLOG(6, "FileName=%s", m_itemName.c_str());
    line.assign(m_itemName);
    return CKoError::Success();
}

CKoError CCollectFileReaderPrivate::ParseStartCharacters(std::string_view& line) {
    if (line.empty()) return CKoError::Success();
    if (line[0] == '|') {
        m_state.legalHold = true;
        m_itemName.assign(line.substr(1));
        ZYLOG(6, "LegalHoldLine=%s", m_itemName.c_str());
        return CKoError::Success();
    }
    if (line == "\\") {
        m_state.backslash = true;
        return CKoError::Success();
    }
    if (line.size() < 3) {
        FILE* f = m_file.Get();
        std::string processed(line);
        return FXErrorUtil::ErrorWin32(
            ZY_HERE, ZyWin32::ERROR_INVALID_DATA,
            "Collect file entry is invalid as it has less than three characters. Additional information: processed "
            "entry=[%s], entry as read from collect file=[%s], this entry starts at offset=[%lld], current offset in "
            "file stream=[%lld], currently at EOF=[%s], file stream error=[%d], collect file=[%s]",
            processed.c_str(), m_originalLine.c_str(), m_currentItemOffset, static_cast<long long>(ftello(f)),
            std::feof(f) ? "yes" : "no", std::ferror(f), m_collectFileName.c_str());
    }

    const char first = line[0], second = line[1], third = line[2];
    const bool systemState = third == '\\';
    if (first == '*') m_state.resetArchiveBit = false;
    if (systemState) m_state.systemStateType = static_cast<unsigned char>(first);
    switch (second) {
        case '*': m_state.pathContainsMountPoint = true; break;
        case 'c': m_state.catalogOnly = true; break;
        case 'b': m_state.backupCopyOnly = true; break;
        case 's': m_state.snapBackupOnly = true; break;
        default:
            if (systemState) m_state.systemStateBackupMethod = static_cast<unsigned char>(second);
    }
    switch (third) {
        case '*': m_state.flrRoot = true; break;
        case 'D': m_state.recursiveDeleted = true; break;
        case 'd': m_state.deleted = true; break;
        case 'p': m_state.parentPath = true; break;
        default: break;
    }
    line.remove_prefix(3);
    return CKoError::Success();
}

// Name, then "|"-separated fields up to the first "||" (the rest of the line is not ours). One
// pass: a "|" followed by another "|" ends the line.
void CCollectFileReaderPrivate::ParseFields(std::string_view line) {
    const char* p = line.data();
    const char* end = p + line.size();
    const char* bar = static_cast<const char*>(std::memchr(p, '|', line.size()));
    m_itemName.assign(p, bar ? bar : end);
    while (bar) {
        if (bar + 1 < end && bar[1] == '|') break;
        const char* start = bar + 1;
        bar = static_cast<const char*>(std::memchr(start, '|', static_cast<size_t>(end - start)));
        ParseField(std::string_view(start, static_cast<size_t>((bar ? bar : end) - start)));
    }
}

void CCollectFileReaderPrivate::ParseField(std::string_view field) {
    m_fieldStringsSet = true;
    if (!field.empty() && field[0] == '%') {
        m_wellKnownFolderMetadata.assign(field);
        return;
    }
    if (field.empty() || field[0] != '<') {
        m_ddbMetadata.assign(field);
        return;
    }
    size_t close = field.find('>');
    if (close == std::string_view::npos) {
        ZYLOG(1, "Skipping metadata [%.*s] because it starts with '%c' but does not have a closing '%c'",
              static_cast<int>(field.size()), field.data(), '<', '>');
        return;
    }
    ETag tag = LookupTag(field.substr(1, close - 1));
    if (tag != ETag::Unknown) ApplyTag(tag, field.substr(close + 1));
}

void CCollectFileReaderPrivate::ApplyTag(ETag tag, std::string_view value) {
    SCollectLineState& s = m_state;
    switch (tag) {
        case ETag::DIR: s.directory = true; break;
        case ETag::BAP: m_backupAtPath.assign(value); break;
        case ETag::BHO: s.backupHeaderOnly = true; break;
        case ETag::DDNE: s.dirDoesNotExist = true; break;
        case ETag::HIB: s.hideInBrowse = true; break;
        case ETag::REN: s.rename = true; break;
        case ETag::DEL: s.brimDeleted = true; break;
        case ETag::SRCVOLPATH: m_sourceVolumePath.assign(value); break;
        case ETag::MA: s.migrationAssistantPath = true; break;
        case ETag::AB: s.resetArchiveBit = true; break;
        case ETag::CPUSH: s.contentPush = true; break;
        case ETag::ACCESS: s.selectedForAccess = true; break;
        case ETag::JR: m_writerJobResultsDir.assign(value); break;
        case ETag::FS: s.fileSize = ParseSigned(value, 0); break;
        case ETag::CSUM: m_checkSum.assign(value); break;
        case ETag::STRIP: s.stripLevel = static_cast<uint32_t>(ParseUnsigned(value, 0)); break;
        case ETag::PSEUDO: m_pseudoPath.assign(value); break;
        case ETag::ADHOC: s.adhoc = true; break;
        case ETag::BPG: m_brimParentGuid.assign(value); break;
        case ETag::BRP: m_brimRealPath.assign(value); break;
        case ETag::BDAB: s.brimDeleteAfterBackup = true; break;
        case ETag::NEW: s.brimNew = true; break;
        case ETag::UNEW: s.brimMovedUnderNewFolder = true; break;
        case ETag::REP: s.brimReplaced = true; break;
        case ETag::FRN: s.fileId = static_cast<int64_t>(ParseUnsigned(value, 0)); break;
        case ETag::MDATA: m_metadataFile.assign(value); break;
        case ETag::PXOFFSET: s.pxDataOffset = ParseSigned(value, 0); break;
        case ETag::PXSIZE: s.pxDataSize = ParseSigned(value, 0); break;
        case ETag::FABRICATED: s.affinityFabricated = true; break;
        case ETag::CONTENT_BACKUP: s.brimModified = true; break;
        case ETag::FEI: s.fileExtentItemType = static_cast<uint32_t>(ParseUnsigned(value, 10)); break;
        case ETag::FEN: s.numOfFileExtents = ParseUnsigned(value, 10); break;
        case ETag::FES: s.fileExtentSize = ParseUnsigned(value, 10); break;
        case ETag::LWTIME: s.lastWriteTime = ParseUnsigned(value, 10); break;
        case ETag::LATIME: s.lastAccessTime = ParseUnsigned(value, 10); break;
        case ETag::CTIME: s.lastChangeTime = ParseSigned(value, 10); break;
        case ETag::VG: m_versionGuid.assign(value); break;
        // Written for people and for other readers; nothing here uses them.
        case ETag::FILE: case ETag::DEPTH: case ETag::DPtim: case ETag::DPloc: case ETag::DPrsn: case ETag::BSM:
        case ETag::USN: case ETag::MTIME: case ETag::Unknown: break;
    }
}

void CCollectFileReaderPrivate::ParseTrailingFilenameCharacters() {
    if (!m_itemName.empty() && m_itemName.back() == '?') {
        m_itemName.pop_back();
        m_state.counted = false;
    }
}

void CCollectFileReaderPrivate::RewriteJobResultsDir() {
    if (m_writerJobResultsDir.empty() || m_localJobResultsDir.empty() || m_writerJobResultsDir == m_localJobResultsDir)
        return;
    FXString::ReplaceAll(m_itemName, m_writerJobResultsDir, m_localJobResultsDir);
}

// ---------------------------------------------------------------------------------------------

CCollectFileReader::CCollectFileReader(const std::string& collectFileName)
    : m_p(std::make_shared<CCollectFileReaderPrivate>(collectFileName)) {
    SetCurrentJobResultsDir();
}

CCollectFileReader::~CCollectFileReader() = default;

void CCollectFileReader::SetCurrentJobResultsDir() { m_p->SetCurrentJobResultsDir(); }
void CCollectFileReader::SetHasStartCharacters(bool hasStartCharacters) {
    m_p->m_hasStartCharacters = hasStartCharacters;
}

CKoError CCollectFileReader::OpenCollectFile() {
    CKoError e = m_p->OpenCollectFile();
    if (e.IsError()) return e.Push(ZY_HERE);
    return e;
}

bool CCollectFileReader::IsOpen() const { return m_p->m_file.IsOpen(); }
const std::string& CCollectFileReader::GetCollectFileName() const { return m_p->m_collectFileName; }

CKoError CCollectFileReader::MoveToPosition(long long offset) {
    CKoError e = m_p->MoveToPosition(offset);
    if (e.IsError()) return e.Push(ZY_HERE);
    return e;
}

long long CCollectFileReader::GetCurrentPosition() const {
    return m_p->m_file.IsOpen() ? static_cast<long long>(ftello(m_p->m_file.Get())) : 0;
}
long long CCollectFileReader::GetCurrentItemPosition() const { return m_p->m_currentItemOffset; }

CKoError CCollectFileReader::GetNextLine(std::string& line) {
    CKoError e = m_p->GetNextLine(line);
    if (e.IsError()) return e.Push(ZY_HERE);
    return e;
}

int CCollectFileReader::GetNextCharacter() { return m_p->GetNextCharacter(); }
bool CCollectFileReader::IsEndOfFile() const { return m_p->m_file.IsOpen() && std::feof(m_p->m_file.Get()); }
bool CCollectFileReader::IsFileError() const { return m_p->m_file.IsOpen() && std::ferror(m_p->m_file.Get()); }
CKoError CCollectFileReader::GetFileReadError() const { return m_p->m_fileReadError; }

const std::string& CCollectFileReader::GetCurrentOriginalLine() const { return m_p->m_originalLine; }
const std::string& CCollectFileReader::GetCurrentItemName() const { return m_p->m_itemName; }
const std::string& CCollectFileReader::GetCurrentItemWellKnownFolderMetadata() const {
    return m_p->m_wellKnownFolderMetadata;
}
const std::string& CCollectFileReader::GetCurrentItemDDBMetadata() const { return m_p->m_ddbMetadata; }
const std::string& CCollectFileReader::GetCurrentItemBackupAtPath() const { return m_p->m_backupAtPath; }
const std::string& CCollectFileReader::GetCurrentItemBrimRealPath() const { return m_p->m_brimRealPath; }
const std::string& CCollectFileReader::GetCurrentItemBrimParentGUID() const { return m_p->m_brimParentGuid; }

bool CCollectFileReader::IsBackslashLine() const { return m_p->m_state.backslash; }
bool CCollectFileReader::IsLegalHoldLine() const { return m_p->m_state.legalHold; }
bool CCollectFileReader::IsPathContainsMountPoint() const { return m_p->m_state.pathContainsMountPoint; }
bool CCollectFileReader::IsResetArchiveBit() const { return m_p->m_state.resetArchiveBit; }
bool CCollectFileReader::IsContentPush() const { return m_p->m_state.contentPush; }
bool CCollectFileReader::IsSelectedForAccess() const { return m_p->m_state.selectedForAccess; }
bool CCollectFileReader::IsFLRRoot() const { return m_p->m_state.flrRoot; }
bool CCollectFileReader::IsRecursiveDeletedItem() const { return m_p->m_state.recursiveDeleted; }
bool CCollectFileReader::IsDeletedItem() const { return m_p->m_state.deleted; }
bool CCollectFileReader::IsCounted() const { return m_p->m_state.counted; }
bool CCollectFileReader::IsCatalogOnly() const { return m_p->m_state.catalogOnly; }
bool CCollectFileReader::IsBackupCopyOnly() const { return m_p->m_state.backupCopyOnly; }
bool CCollectFileReader::IsSnapBackupOnly() const { return m_p->m_state.snapBackupOnly; }
bool CCollectFileReader::IsParentPath() const { return m_p->m_state.parentPath; }
bool CCollectFileReader::IsAffinityFabricated() const { return m_p->m_state.affinityFabricated; }
bool CCollectFileReader::IsSystemStateLine() const {
    return m_p->m_state.systemStateType != 0 && m_p->m_state.systemStateBackupMethod != 0;
}
int CCollectFileReader::GetSystemStateType() const { return m_p->m_state.systemStateType; }
int CCollectFileReader::GetSystemStateBackupMethod() const { return m_p->m_state.systemStateBackupMethod; }
bool CCollectFileReader::BackupHeaderOnly() const { return m_p->m_state.backupHeaderOnly; }
bool CCollectFileReader::DirDoesNotExist() const { return m_p->m_state.dirDoesNotExist; }
bool CCollectFileReader::IsCxHdrHideInBrowse() const { return m_p->m_state.hideInBrowse; }
bool CCollectFileReader::IsCxHdrRename() const { return m_p->m_state.rename; }
bool CCollectFileReader::IsBrimDeleteAfterBackup() const { return m_p->m_state.brimDeleteAfterBackup; }
long long CCollectFileReader::GetCurrentItemFileSize() const { return m_p->m_state.fileSize; }
long long CCollectFileReader::GetCurrentItemFileId() const { return m_p->m_state.fileId; }
const std::string& CCollectFileReader::GetSourceVolumePath() const { return m_p->m_sourceVolumePath; }
bool CCollectFileReader::IsMigrationAssistantPath() const { return m_p->m_state.migrationAssistantPath; }
bool CCollectFileReader::IsDirectory() const { return m_p->m_state.directory; }
const std::string& CCollectFileReader::GetMetadatafile() const { return m_p->m_metadataFile; }
const std::string& CCollectFileReader::GetCurrentItemCheckSum() const { return m_p->m_checkSum; }
uint32_t CCollectFileReader::GetStripLevel() const { return m_p->m_state.stripLevel; }
const std::string& CCollectFileReader::GetPseudoPath() const { return m_p->m_pseudoPath; }
long long CCollectFileReader::GetPxDataOffset() const { return m_p->m_state.pxDataOffset; }
long long CCollectFileReader::GetPxDataSize() const { return m_p->m_state.pxDataSize; }
bool CCollectFileReader::IsAdhocItem() const { return m_p->m_state.adhoc; }
uint32_t CCollectFileReader::GetFileExtentItemType() const { return m_p->m_state.fileExtentItemType; }
unsigned long long CCollectFileReader::GetNumOfFileExtents() const { return m_p->m_state.numOfFileExtents; }
unsigned long long CCollectFileReader::GetFileExtentSize() const { return m_p->m_state.fileExtentSize; }
const std::string& CCollectFileReader::GetVersionGuid() const { return m_p->m_versionGuid; }
bool CCollectFileReader::IsBrimNewItem() const { return m_p->m_state.brimNew; }
bool CCollectFileReader::IsBrimModifiedItem() const { return m_p->m_state.brimModified; }
bool CCollectFileReader::IsBrimRenameItem() const { return m_p->m_state.brimRename; }
bool CCollectFileReader::IsBrimDeletedItem() const { return m_p->m_state.brimDeleted; }
bool CCollectFileReader::IsBrimReplacedItem() const { return m_p->m_state.brimReplaced; }
bool CCollectFileReader::IsBrimMovedUnderNewFolderItem() const { return m_p->m_state.brimMovedUnderNewFolder; }

bool CCollectFileReader::GetLastWriteTime(unsigned long long& time) const {
    if (!m_p->m_state.lastWriteTime) return false;
    time = *m_p->m_state.lastWriteTime;
    return true;
}
bool CCollectFileReader::GetLastAccessTime(unsigned long long& time) const {
    if (!m_p->m_state.lastAccessTime) return false;
    time = *m_p->m_state.lastAccessTime;
    return true;
}
bool CCollectFileReader::GetLastChangeTime(long long& time) const {
    if (!m_p->m_state.lastChangeTime) return false;
    time = *m_p->m_state.lastChangeTime;
    return true;
}
