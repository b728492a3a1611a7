// A collect file of arbitrary bytes through the collect file reader, as the backup's data readers
// take it, and each item name through fsscan's collect-line parse. The first byte chooses the
// reader's options (1 start characters, 2 a phantom collect file, 4 names rewritten to this
// machine's job-results folder, 8 a long first line of a length the high bits choose); the rest
// is the file.
//
// Every line is parsed or reported as invalid; the lines account for every byte of the file, each
// at the offset it was read from; a restart from a line's offset reads the same line again.
#include <string>
#include <vector>

#include "CollectLine.h"
#include "FuzzSupport.h"
#include "core/PlatformInfo.h"
#include "scan/Unix/CollectFileEncode.h"
#include "scan/collect/CollectFileReader.h"

namespace {

struct SRead {
    long long offset;
    std::string original, name;
    bool valid;
};

// Every answer about the current line, so that each getter runs on what the parse left.
size_t TouchAnswers(const CCollectFileReader& r) {
    size_t n = r.GetCurrentItemWellKnownFolderMetadata().size() + r.GetCurrentItemDDBMetadata().size() +
               r.GetCurrentItemBackupAtPath().size() + r.GetCurrentItemBrimRealPath().size() +
               r.GetCurrentItemBrimParentGUID().size() + r.GetSourceVolumePath().size() + r.GetMetadatafile().size() +
               r.GetCurrentItemCheckSum().size() + r.GetPseudoPath().size() + r.GetVersionGuid().size();
    n += r.IsBackslashLine() + r.IsLegalHoldLine() + r.IsPathContainsMountPoint() + r.IsResetArchiveBit() +
         r.IsContentPush() + r.IsSelectedForAccess() + r.IsFLRRoot() + r.IsRecursiveDeletedItem() +
         r.IsDeletedItem() + r.IsCounted() + r.IsCatalogOnly() + r.IsBackupCopyOnly() + r.IsSnapBackupOnly() +
         r.IsParentPath() + r.IsAffinityFabricated() + r.IsSystemStateLine() + r.BackupHeaderOnly() +
         r.DirDoesNotExist() + r.IsCxHdrHideInBrowse() + r.IsCxHdrRename() + r.IsBrimDeleteAfterBackup() +
         r.IsMigrationAssistantPath() + r.IsDirectory() + r.IsAdhocItem() + r.IsBrimNewItem() +
         r.IsBrimModifiedItem() + r.IsBrimRenameItem() + r.IsBrimDeletedItem() + r.IsBrimReplacedItem() +
         r.IsBrimMovedUnderNewFolderItem();
    n += static_cast<size_t>(r.GetSystemStateType() + r.GetSystemStateBackupMethod() + r.GetStripLevel() +
                             r.GetFileExtentItemType());
    n += static_cast<size_t>(r.GetCurrentItemFileSize() ^ r.GetCurrentItemFileId() ^ r.GetPxDataOffset() ^
                             r.GetPxDataSize());
    n += static_cast<size_t>(r.GetNumOfFileExtents() ^ r.GetFileExtentSize());
    unsigned long long u = 0;
    long long s = 0;
    n += r.GetLastWriteTime(u) + r.GetLastAccessTime(u) + r.GetLastChangeTime(s);
    return n + static_cast<size_t>(u) + static_cast<size_t>(s);
}

}  // namespace

// Bytes put in front of the file by option 8: a first line that ends near the 64 KiB the
// collect-line readers read at once, at a length the input chooses.
size_t LongLinePrefix(uint8_t options) { return 65536 - 48 + (options >> 4) * 3; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::Setup();
    if (size == 0) return 0;
    const uint8_t options = data[0];
    std::string content(reinterpret_cast<const char*>(data + 1), size - 1);
    // A long first line: lines of 64 KiB and more come back in pieces.
    if (options & 8) content.insert(0, LongLinePrefix(options), 'x');
    const bool hasStart = options & 1;
    // Names under the writer's job-results folder ("JR" tag) are rewritten to this machine's.
    const bool rewrite = options & 4;
    if (rewrite)
        ZYPlatformInfo::setString("Agent", "JobResultsDir", "/local/jr").IgnoreError();
    else
        ZYPlatformInfo::removeKey("Agent", "JobResultsDir").IgnoreError();
    // Phantom collect files carry names with a leading backslash.
    const std::string path =
        fuzzsupport::WriteScratchFile(options & 2 ? "Part_phantomCollect.zyf" : "Collect.zyf", content);

    CCollectFileReader r(path);
    r.SetHasStartCharacters(hasStart);
    FUZZ_CHECK(r.OpenCollectFile().IsSuccess());
    std::vector<SRead> lines;
    size_t bytes = 0;
    std::string name;
    volatile size_t sink = 0;
    for (;;) {
        CKoError e = r.GetNextLine(name);
        if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_NO_MORE_ITEMS)) break;
        const bool valid = e.IsSuccess();
        FUZZ_CHECK(valid || FXErrorUtil::IsWin32(e, ZyWin32::ERROR_INVALID_DATA));
        FUZZ_CHECK(r.GetCurrentItemPosition() == static_cast<long long>(bytes));
        const std::string& original = r.GetCurrentOriginalLine();
        FUZZ_CHECK(!original.empty());
        FUZZ_CHECK(content.compare(bytes, original.size(), original) == 0);
        bytes += original.size();
        FUZZ_CHECK(r.GetCurrentPosition() == static_cast<long long>(bytes));
        if (valid) {
            FUZZ_CHECK(name == r.GetCurrentItemName());
            sink = sink + TouchAnswers(r);
            // The backup's own reading of the name.
            SCollectLine parsed;
            if (ParseCollectLine(name, parsed)) FUZZ_CHECK(!parsed.path.empty());
        }
        if (lines.size() < 64) lines.push_back(SRead{r.GetCurrentItemPosition(), original, name, valid});
    }
    FUZZ_CHECK(bytes == content.size());
    FUZZ_CHECK(r.IsEndOfFile() && !r.IsFileError() && r.GetFileReadError().IsSuccess());

    // Restarts, last line first: the same bytes and, without the rewrite (which depends on a
    // folder named by an earlier line), the same name.
    for (size_t i = lines.size(); i-- > 0;) {
        const SRead& line = lines[i];
        FUZZ_CHECK(r.MoveToPosition(line.offset).IsSuccess());
        CKoError e = r.GetNextLine(name);
        FUZZ_CHECK(e.IsSuccess() == line.valid);
        FUZZ_CHECK(r.GetCurrentOriginalLine() == line.original);
        if (line.valid && !rewrite) FUZZ_CHECK(name == line.name);
    }
    // Probing a byte at a time keeps the offset true.
    if (!lines.empty()) {
        FUZZ_CHECK(r.MoveToPosition(lines[0].offset).IsSuccess());
        const int c = r.GetNextCharacter();
        FUZZ_CHECK(c == static_cast<unsigned char>(content[static_cast<size_t>(lines[0].offset)]));
    }
    return 0;
}
