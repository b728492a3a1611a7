// The collect-line grammar, both ways: the input chooses a formatter (short or extended form,
// start characters, every setting and tag) and a few entries with arbitrary names and values;
// the lines it writes must read back through the collect file reader to the same names, flags and
// tags, and a restart from any line's offset must read that line again.
#include <memory>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "scan/Unix/CollectFileEncode.h"
#include "scan/collect/BrimCollectLineFormatter.h"
#include "scan/collect/CollectFileReader.h"
#include "scan/collect/StartCharacterCollectLineFormatter.h"

namespace {

using fuzzsupport::CInput;

// What the formatter was told, to compute what the reader must answer.
struct SSettings {
    bool extended = false;
    bool brim = false;
    char start[3] = {'?', '?', '?'};
    bool resetArchiveBit = true;
    std::string backupAt, sourceVolume, wellKnownFolder;
    bool backupHeaderOnly = false, dirDoesNotExist = false, hideInBrowse = false, rename = false, del = false;
    bool migrationAssistant = false, contentPush = false, selectedForAccess = false;
    bool suffixNumber = false;
    uint32_t suffix = 0;
    std::string parentGuid, realPath, metadataFile;
    bool deleteAfterBackup = false, isNew = false, underNew = false, replaced = false;
    long long fileSize = 0, pxOffset = 0, pxSize = 0;
    bool hasPxOffset = false, hasPxSize = false;
    unsigned long long frn = 0;
};

struct SLine {
    bool folder = false;
    std::string path, rawPath;
    bool notCounted = false, sizeValid = false;
    long long size = 0;
    std::string checkSum, pseudo;
    uint32_t strip = 0;
    bool adhoc = false, hideInBrowse = false;
    long long offset = 0;
};

// A value as the scan writes one: escaped, so it holds no "|", CR or LF.
std::string Value(CInput& in, bool all) { return escapeFileName(in.CText(40).c_str(), all); }

// An absolute path of escaped components. A name ending in "?" cannot be told from the
// not-counted mark (the grammar has no escape for it), so such names get one more byte.
std::string Path(CInput& in, bool all, std::string& raw) {
    std::string path;
    raw.clear();
    const uint32_t parts = 1 + in.Below(4);
    for (uint32_t i = 0; i < parts; ++i) {
        std::string part;
        for (char c : in.CText(24))
            if (c != '/') part.push_back(c);
        if (part.empty() || part.back() == '?') part.push_back('q');
        path += "/" + escapeFileName(part.c_str(), all);
        raw += "/" + part;
    }
    return path;
}

std::unique_ptr<CStartCharacterCollectLineFormatter> MakeFormatter(CInput& in, SSettings& s) {
    static const int kTypes[] = {EScanJobType::SOLR_CLOUD_BACKUP, EScanJobType::BRIM_SYNC, EScanJobType::FILE_SYSTEM,
                                 EScanJobType::INVALID_TYPE, EScanJobType::FILE_LEVEL_REPLICATION_REPSET};
    auto info = std::make_shared<CStartCharacterCommonInfo>();
    info->scanJobType = EScanJobType(kTypes[in.Below(5)]);
    s.extended = info->scanJobType.IsSelected(EScanJobType::SOLR_CLOUD_BACKUP) ||
                 info->scanJobType.IsSelected(EScanJobType::BRIM_SYNC);
    info->addDiagnosticTags = in.Bool();
    if (in.Bool()) {
        info->hasItemSuffixNumber = true;
        info->itemSuffixNumber = static_cast<uint32_t>(in.U64());
        s.suffixNumber = info->itemSuffixNumber != 0xFFFFFFFFu;
        s.suffix = info->itemSuffixNumber;
    }
    static const char kFirst[] = "?*", kSecond[] = "?*cbs", kThird[] = "?*Ddp";
    s.start[0] = kFirst[in.Below(2)];
    s.start[1] = kSecond[in.Below(5)];
    s.start[2] = kThird[in.Below(5)];
    s.brim = in.Bool();
    std::unique_ptr<CStartCharacterCollectLineFormatter> f;
    CBrimCollectLineFormatter* brim = nullptr;
    if (s.brim) {
        auto b = std::make_unique<CBrimCollectLineFormatter>(info, s.start[0], s.start[1], s.start[2]);
        brim = b.get();
        f = std::move(b);
    } else {
        f = std::make_unique<CStartCharacterCollectLineFormatter>(info, s.start[0], s.start[1], s.start[2]);
    }
    s.resetArchiveBit = f->IsResetArchiveBit();

    const bool all = in.Bool();
    const uint32_t set = static_cast<uint32_t>(in.U64());  // one bit per setting
    auto on = [set](int bit) { return (set >> bit) & 1; };
    if (on(0)) f->ResetArchiveBit(s.resetArchiveBit = in.Bool());
    if (on(1)) f->SetBackupAtPath(s.backupAt = Value(in, all));
    if (on(2)) f->SetBackupHeaderOnly(s.backupHeaderOnly = true);
    if (on(3)) f->SetDirDoesNotExist(s.dirDoesNotExist = true);
    if (on(4)) f->SetCxHdrHideInBrowse(s.hideInBrowse = true);
    if (on(5)) f->SetCxHdrRename(s.rename = true);
    if (on(6)) f->SetDelete(s.del = true);
    if (on(7)) {
        f->SetSourceVolumePath(Value(in, all));
        s.sourceVolume = f->GetSourceVolumePath();
    }
    if (on(8)) f->SetMigrationAssistantPath(s.migrationAssistant = true);
    if (on(9)) f->SetFolderDepth(static_cast<int>(in.U64()));
    if (on(10)) f->SetContentPush(s.contentPush = true);
    if (on(11)) f->SetSelectedForAccess(s.selectedForAccess = true);
    if (on(12)) f->SetJobResultsDir(Value(in, all));
    if (on(13)) f->SetWellKnownFolderMetadata(s.wellKnownFolder = "%" + Value(in, all));
    if (brim) {
        if (on(14)) brim->SetBrimMoved(true);
        if (on(15)) brim->SetBrimParentGuid(s.parentGuid = Value(in, all));
        if (on(16)) brim->SetBrimRealPath(s.realPath = Value(in, all));
        if (on(17)) brim->SetBrimDeleteAfterBackup(s.deleteAfterBackup = true);
        if (on(18)) brim->SetUsn(static_cast<long long>(in.U64()));
        if (on(19)) brim->SetBrimNew(s.isNew = true);
        if (on(20)) brim->SetBrimUnderNew(s.underNew = true);
        if (on(21)) brim->SetBrimReplaced(s.replaced = true);
        if (on(22)) brim->SetFileSize(s.fileSize = static_cast<long long>(in.U64()));
        if (on(23)) brim->SetFRN(s.frn = in.U64());
        if (on(24)) brim->SetMTime(static_cast<long long>(in.U64()));
        if (on(25)) brim->SetMetadataFile(s.metadataFile = Value(in, all));
        if (on(26)) {
            s.hasPxOffset = true;
            s.pxOffset = static_cast<long long>(in.U64());
            brim->SetPxDataOffset(std::to_string(s.pxOffset));
        }
        if (on(27)) {
            s.hasPxSize = true;
            s.pxSize = static_cast<long long>(in.U64());
            brim->SetPxDataSize(std::to_string(s.pxSize));
        }
    }
    return f;
}

std::string FormatEntry(CInput& in, CStartCharacterCollectLineFormatter& f, SLine& w) {
    const bool all = in.Bool();
    const uint8_t kind = in.Byte();
    w.folder = kind & 1;
    w.path = Path(in, all, w.rawPath);
    // Diagnostic reasons are free text; whatever they hold must not disturb the line.
    const std::string reason(in.Text(32));
    const uint8_t tags = in.Byte();
    auto common = [&](CCollectFileEntry& e) {
        if (tags & 1) e.SetStripLevel(w.strip = static_cast<uint32_t>(in.U64()));
        if (tags & 2) e.SetPseudoPath(w.pseudo = Value(in, all));
        if (tags & 4) e.SetAdhocItem(w.adhoc = true);
        if (tags & 8) e.SetCxHdrHideInBrowse(w.hideInBrowse = true);
    };
    w.notCounted = kind & 2;
    if (w.folder) {
        CCollectFileFolderEntry e(w.path, ZY_HERE, reason, w.notCounted);
        common(e);
        w.path = e.GetFullPath();
        w.rawPath += "/";
        return f.GetFormattedLine(e);
    }
    if (kind & 4) {
        // Sizes are file sizes: below 2^63.
        w.notCounted = false;
        w.sizeValid = true;
        w.size = static_cast<long long>(in.U64() >> 1);
        CCollectFileFileEntry e(w.path, ZY_HERE, reason, static_cast<uint64_t>(w.size));
        if (tags & 16) e.SetCheckSum(w.checkSum = Value(in, all));
        common(e);
        return f.GetFormattedLine(e);
    }
    CCollectFileFileEntry e(w.path, ZY_HERE, reason, w.notCounted);
    common(e);
    return f.GetFormattedLine(e);
}

void CheckLine(const CCollectFileReader& r, const SSettings& s, const SLine& w, bool hasStart) {
    const bool ext = s.extended;
    std::string name = w.path;
    bool counted = true;
    if (ext && s.suffixNumber) {
        // The number stays in the name, and with it the not-counted mark before it.
        name += std::string(w.notCounted ? "?" : "") + "*" + std::to_string(s.suffix);
    } else if (ext) {
        counted = !w.notCounted;
    }
    FUZZ_CHECK(r.GetCurrentItemName() == name);
    if (!(ext && s.suffixNumber)) FUZZ_CHECK(decodeFileName(r.GetCurrentItemName().c_str()) == w.rawPath);
    FUZZ_CHECK(r.IsCounted() == counted);
    FUZZ_CHECK(r.GetCurrentItemPosition() == w.offset);

    const char first = hasStart ? s.start[0] : '?', second = hasStart ? s.start[1] : '?',
               third = hasStart ? s.start[2] : '?';
    FUZZ_CHECK(r.IsResetArchiveBit() == (first != '*' || (ext && s.resetArchiveBit)));
    FUZZ_CHECK(r.IsPathContainsMountPoint() == (second == '*'));
    FUZZ_CHECK(r.IsCatalogOnly() == (second == 'c'));
    FUZZ_CHECK(r.IsBackupCopyOnly() == (second == 'b'));
    FUZZ_CHECK(r.IsSnapBackupOnly() == (second == 's'));
    FUZZ_CHECK(r.IsFLRRoot() == (third == '*'));
    FUZZ_CHECK(r.IsRecursiveDeletedItem() == (third == 'D'));
    FUZZ_CHECK(r.IsDeletedItem() == (third == 'd'));
    FUZZ_CHECK(r.IsParentPath() == (third == 'p'));
    FUZZ_CHECK(!r.IsSystemStateLine() && !r.IsLegalHoldLine() && !r.IsBackslashLine());

    FUZZ_CHECK(r.IsDirectory() == (ext && w.folder));
    FUZZ_CHECK(r.GetCurrentItemBackupAtPath() == (ext ? s.backupAt : ""));
    FUZZ_CHECK(r.BackupHeaderOnly() == (ext && s.backupHeaderOnly));
    FUZZ_CHECK(r.DirDoesNotExist() == (ext && s.dirDoesNotExist));
    FUZZ_CHECK(r.IsCxHdrHideInBrowse() == (ext && (s.hideInBrowse || w.hideInBrowse)));
    FUZZ_CHECK(r.IsCxHdrRename() == (ext && s.rename));
    FUZZ_CHECK(r.IsBrimDeletedItem() == (ext && s.del));
    FUZZ_CHECK(r.GetSourceVolumePath() == (ext ? s.sourceVolume : ""));
    FUZZ_CHECK(r.IsMigrationAssistantPath() == (ext && s.migrationAssistant));
    FUZZ_CHECK(r.IsContentPush() == (ext && s.contentPush));
    FUZZ_CHECK(r.IsSelectedForAccess() == (ext && s.selectedForAccess));
    FUZZ_CHECK(r.GetCurrentItemWellKnownFolderMetadata() == (ext ? s.wellKnownFolder : ""));
    FUZZ_CHECK(r.GetCurrentItemDDBMetadata().empty());

    long long size = 0;
    if (ext && w.sizeValid)
        size = w.size;
    else if (ext && s.brim && s.fileSize > 0)
        size = s.fileSize;
    FUZZ_CHECK(r.GetCurrentItemFileSize() == size);
    FUZZ_CHECK(r.GetCurrentItemCheckSum() == (ext ? w.checkSum : ""));
    FUZZ_CHECK(r.GetStripLevel() == (ext ? w.strip : 0u));
    FUZZ_CHECK(r.GetPseudoPath() == (ext ? w.pseudo : ""));
    FUZZ_CHECK(r.IsAdhocItem() == (ext && w.adhoc));

    const bool brim = ext && s.brim;
    FUZZ_CHECK(r.GetCurrentItemBrimParentGUID() == (brim ? s.parentGuid : ""));
    FUZZ_CHECK(r.GetCurrentItemBrimRealPath() == (brim ? s.realPath : ""));
    FUZZ_CHECK(r.IsBrimDeleteAfterBackup() == (brim && s.deleteAfterBackup));
    FUZZ_CHECK(r.IsBrimNewItem() == (brim && s.isNew));
    FUZZ_CHECK(r.IsBrimMovedUnderNewFolderItem() == (brim && s.underNew));
    FUZZ_CHECK(r.IsBrimReplacedItem() == (brim && s.replaced));
    FUZZ_CHECK(r.GetCurrentItemFileId() == (brim ? static_cast<long long>(s.frn) : 0));
    FUZZ_CHECK(r.GetMetadatafile() == (brim ? s.metadataFile : ""));
    FUZZ_CHECK(r.GetPxDataOffset() == (brim && s.hasPxOffset ? s.pxOffset : 0));
    FUZZ_CHECK(r.GetPxDataSize() == (brim && s.hasPxSize ? s.pxSize : 0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::Setup();
    CInput in(data, size);
    SSettings s;
    auto f = MakeFormatter(in, s);
    std::vector<SLine> written(1 + in.Below(6));
    std::string content;
    for (SLine& w : written) {
        w.offset = static_cast<long long>(content.size());
        const std::string line = FormatEntry(in, *f, w);
        FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos);
        content += line;
        content.push_back('\n');
    }
    const std::string path = fuzzsupport::WriteScratchFile("Collect.zyf", content);

    const bool hasStart = s.extended || s.start[2] != '?';
    CCollectFileReader r(path);
    r.SetHasStartCharacters(hasStart);
    FUZZ_CHECK(r.OpenCollectFile().IsSuccess());
    std::string name;
    for (const SLine& w : written) {
        FUZZ_CHECK(r.GetNextLine(name).IsSuccess());
        FUZZ_CHECK(name == r.GetCurrentItemName());
        CheckLine(r, s, w, hasStart);
    }
    FUZZ_CHECK(FXErrorUtil::IsWin32(r.GetNextLine(name), ZyWin32::ERROR_NO_MORE_ITEMS));

    // A restart from a saved offset reads that line again.
    const SLine& again = written[in.Below(static_cast<uint32_t>(written.size()))];
    FUZZ_CHECK(r.MoveToPosition(again.offset).IsSuccess());
    FUZZ_CHECK(r.GetNextLine(name).IsSuccess());
    CheckLine(r, s, again, hasStart);
    return 0;
}
