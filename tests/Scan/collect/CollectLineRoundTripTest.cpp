// Lines written by the formatters must read back, through the reader, to the same name, flags
// and tags. Entries and formatter settings are generated at random (fixed seeds) so that names
// with every byte value, every start character and every tag combination meet the parser.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "agent/PlatformServices.h"
#include "scan/Unix/CollectFileEncode.h"
#include "scan/collect/CollectFileReader.h"
#include "scan/collect/CollectLineFormatter.h"
#include "support/TestSupport.h"
#include "scan/collect/StartCharacterCollectLineFormatter.h"
#include "scan/collect/BrimCollectLineFormatter.h"

namespace {

class Generator {
public:
    explicit Generator(uint64_t seed) : m_rng(seed) {}

    bool Chance(int percent) { return static_cast<int>(m_rng() % 100) < percent; }
    uint64_t Below(uint64_t n) { return m_rng() % n; }
    template <size_t N>
    char OneOf(const char (&chars)[N]) { return chars[Below(N - 1)]; }

    // Raw bytes 0x01..0xFF (no "/" when it is a path component).
    std::string RawText(bool component) {
        std::string s;
        size_t length = 1 + Below(12);
        while (s.size() < length) {
            char c = static_cast<char>(1 + Below(255));
            if (!(component && c == '/')) s.push_back(c);
        }
        return s;
    }

    // A name with "?" at its end cannot be told from a not-counted mark (NamesEndingInQuestionMark).
    std::string Component(bool encodeAll, std::string& raw) {
        raw = RawText(true);
        if (raw.back() == '?') raw.push_back('q');
        return escapeFileName(raw.c_str(), encodeAll);
    }

    std::string Path(bool encodeAll, std::string& raw) {
        std::string path;
        raw.clear();
        size_t parts = 1 + Below(4);
        for (size_t i = 0; i < parts; ++i) {
            std::string rawPart;
            path += "/" + Component(encodeAll, rawPart);
            raw += "/" + rawPart;
        }
        return path;
    }

    std::string Value(bool encodeAll) { return escapeFileName(RawText(false).c_str(), encodeAll); }

    std::mt19937_64& Rng() { return m_rng; }

private:
    std::mt19937_64 m_rng;
};

// What the formatter was told, kept to compute what the reader must answer.
struct SFormatterSettings {
    bool extended = false;
    bool brim = false;
    char start[3] = {'?', '?', '?'};
    bool resetArchiveBit = true;
    std::string backupAt, sourceVolume, jobResults, wellKnownFolder;
    bool backupHeaderOnly = false, dirDoesNotExist = false, hideInBrowse = false, rename = false, del = false;
    bool migrationAssistant = false, contentPush = false, selectedForAccess = false;
    bool suffixNumber = false;
    uint32_t suffix = 0;
    // Brim
    std::string parentGuid, realPath, metadataFile;
    bool deleteAfterBackup = false, isNew = false, underNew = false, replaced = false;
    long long fileSize = 0, pxOffset = 0, pxSize = 0;
    bool hasPxOffset = false, hasPxSize = false;
    unsigned long long frn = 0;
};

struct SWrittenLine {
    bool folder = false;
    std::string path, rawPath;
    bool notCounted = false;
    bool sizeValid = false;
    long long size = 0;
    std::string checkSum, pseudo;
    uint32_t strip = 0;
    bool adhoc = false, hideInBrowse = false;
    long long offset = 0;
};

std::unique_ptr<CStartCharacterCollectLineFormatter> MakeFormatter(Generator& g, SFormatterSettings& s) {
    static const int kTypes[] = {EScanJobType::SOLR_CLOUD_BACKUP, EScanJobType::BRIM_SYNC, EScanJobType::FILE_SYSTEM,
                                 EScanJobType::INVALID_TYPE, EScanJobType::FILE_LEVEL_REPLICATION_REPSET};
    auto info = std::make_shared<CStartCharacterCommonInfo>();
    info->scanJobType = EScanJobType(kTypes[g.Below(5)]);
    s.extended = info->scanJobType.IsSelected(EScanJobType::SOLR_CLOUD_BACKUP) ||
                 info->scanJobType.IsSelected(EScanJobType::BRIM_SYNC);
    info->addDiagnosticTags = g.Chance(20);
    if (g.Chance(10)) {
        info->hasItemSuffixNumber = true;
        info->itemSuffixNumber = static_cast<uint32_t>(g.Below(1000));
        s.suffixNumber = true;
        s.suffix = info->itemSuffixNumber;
    }
    s.start[0] = g.OneOf("?*");
    s.start[1] = g.OneOf("?*cbs");
    s.start[2] = g.OneOf("?*Ddp");
    s.brim = g.Chance(50);
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
    if (g.Chance(30)) f->ResetArchiveBit(s.resetArchiveBit = g.Chance(50));

    const bool all = g.Chance(50);
    if (g.Chance(30)) f->SetBackupAtPath(s.backupAt = g.Value(all));
    if (g.Chance(30)) f->SetBackupHeaderOnly(s.backupHeaderOnly = true);
    if (g.Chance(30)) f->SetDirDoesNotExist(s.dirDoesNotExist = true);
    if (g.Chance(30)) f->SetCxHdrHideInBrowse(s.hideInBrowse = true);
    if (g.Chance(30)) f->SetCxHdrRename(s.rename = true);
    if (g.Chance(30)) f->SetDelete(s.del = true);
    if (g.Chance(30)) {
        f->SetSourceVolumePath(g.Value(all));
        s.sourceVolume = f->GetSourceVolumePath();
    }
    if (g.Chance(30)) f->SetMigrationAssistantPath(s.migrationAssistant = true);
    if (g.Chance(30)) f->SetFolderDepth(static_cast<int>(g.Below(40)));
    if (g.Chance(30)) f->SetContentPush(s.contentPush = true);
    if (g.Chance(30)) f->SetSelectedForAccess(s.selectedForAccess = true);
    if (g.Chance(30)) f->SetJobResultsDir(s.jobResults = g.Value(all));
    if (g.Chance(20)) f->SetWellKnownFolderMetadata(s.wellKnownFolder = "%" + g.Value(all));
    if (brim) {
        if (g.Chance(30)) brim->SetBrimMoved(true);
        if (g.Chance(30)) brim->SetBrimParentGuid(s.parentGuid = g.Value(all));
        if (g.Chance(30)) brim->SetBrimRealPath(s.realPath = g.Value(all));
        if (g.Chance(30)) brim->SetBrimDeleteAfterBackup(s.deleteAfterBackup = true);
        if (g.Chance(30)) brim->SetUsn(static_cast<long long>(g.Below(1ull << 40)));
        if (g.Chance(30)) brim->SetBrimNew(s.isNew = true);
        if (g.Chance(30)) brim->SetBrimUnderNew(s.underNew = true);
        if (g.Chance(30)) brim->SetBrimReplaced(s.replaced = true);
        if (g.Chance(30)) brim->SetFileSize(s.fileSize = static_cast<long long>(g.Below(1ull << 50)));
        if (g.Chance(30)) brim->SetFRN(s.frn = g.Rng()());
        if (g.Chance(30)) brim->SetMTime(static_cast<long long>(g.Below(1ull << 40)));
        if (g.Chance(30)) brim->SetMetadataFile(s.metadataFile = g.Value(all));
        if (g.Chance(30)) {
            s.hasPxOffset = true;
            s.pxOffset = static_cast<long long>(g.Below(1ull << 50));
            brim->SetPxDataOffset(std::to_string(s.pxOffset));
        }
        if (g.Chance(30)) {
            s.hasPxSize = true;
            s.pxSize = static_cast<long long>(g.Below(1ull << 50));
            brim->SetPxDataSize(std::to_string(s.pxSize));
        }
    }
    return f;
}

// One entry, formatted; `w` records what went in.
std::string FormatEntry(Generator& g, CStartCharacterCollectLineFormatter& f, SWrittenLine& w) {
    const bool all = g.Chance(50);
    w.folder = g.Chance(40);
    w.path = g.Path(all, w.rawPath);
    // Diagnostic reasons may hold anything; they must not disturb the line.
    const std::string reason = g.Chance(30) ? "moved|new\r\n||x" : "scan";
    auto common = [&](CCollectFileEntry& e) {
        if (g.Chance(25)) e.SetStripLevel(w.strip = static_cast<uint32_t>(1 + g.Below(9)));
        if (g.Chance(25)) e.SetPseudoPath(w.pseudo = g.Value(all));
        if (g.Chance(25)) e.SetAdhocItem(w.adhoc = true);
        if (g.Chance(25)) e.SetCxHdrHideInBrowse(w.hideInBrowse = true);
    };
    if (w.folder) {
        w.notCounted = g.Chance(30);
        CCollectFileFolderEntry e(w.path, ZY_HERE, reason, w.notCounted);
        common(e);
        w.path = e.GetFullPath();
        w.rawPath += "/";
        return f.GetFormattedLine(e);
    }
    if (g.Chance(50)) {
        w.sizeValid = true;
        w.size = static_cast<long long>(g.Below(1ull << 62));
        CCollectFileFileEntry e(w.path, ZY_HERE, reason, static_cast<uint64_t>(w.size));
        if (g.Chance(30)) e.SetCheckSum(w.checkSum = g.Value(all));
        common(e);
        return f.GetFormattedLine(e);
    }
    w.notCounted = g.Chance(30);
    CCollectFileFileEntry e(w.path, ZY_HERE, reason, w.notCounted);
    common(e);
    return f.GetFormattedLine(e);
}

void ExpectLine(const CCollectFileReader& r, const SFormatterSettings& s, const SWrittenLine& w, bool hasStart) {
    const bool ext = s.extended;
    std::string name = w.path;
    bool counted = true;
    if (ext && s.suffixNumber) {
        // The number stays in the name, and with it the not-counted mark before it.
        name += std::string(w.notCounted ? "?" : "") + "*" + std::to_string(s.suffix);
    } else if (ext) {
        counted = !w.notCounted;
    }
    EXPECT_EQ(r.GetCurrentItemName(), name);
    if (!(ext && s.suffixNumber)) {
        EXPECT_EQ(decodeFileName(r.GetCurrentItemName().c_str()), w.rawPath);
    }
    EXPECT_EQ(r.IsCounted(), counted);
    EXPECT_EQ(r.GetCurrentItemPosition(), w.offset);

    const char first = hasStart ? s.start[0] : '?', second = hasStart ? s.start[1] : '?',
               third = hasStart ? s.start[2] : '?';
    EXPECT_EQ(r.IsResetArchiveBit(), first != '*' || (ext && s.resetArchiveBit));
    EXPECT_EQ(r.IsPathContainsMountPoint(), second == '*');
    EXPECT_EQ(r.IsCatalogOnly(), second == 'c');
    EXPECT_EQ(r.IsBackupCopyOnly(), second == 'b');
    EXPECT_EQ(r.IsSnapBackupOnly(), second == 's');
    EXPECT_EQ(r.IsFLRRoot(), third == '*');
    EXPECT_EQ(r.IsRecursiveDeletedItem(), third == 'D');
    EXPECT_EQ(r.IsDeletedItem(), third == 'd');
    EXPECT_EQ(r.IsParentPath(), third == 'p');
    EXPECT_FALSE(r.IsSystemStateLine());
    EXPECT_FALSE(r.IsLegalHoldLine());

    EXPECT_EQ(r.IsDirectory(), ext && w.folder);
    EXPECT_EQ(r.GetCurrentItemBackupAtPath(), ext ? s.backupAt : "");
    EXPECT_EQ(r.BackupHeaderOnly(), ext && s.backupHeaderOnly);
    EXPECT_EQ(r.DirDoesNotExist(), ext && s.dirDoesNotExist);
    EXPECT_EQ(r.IsCxHdrHideInBrowse(), ext && (s.hideInBrowse || w.hideInBrowse));
    EXPECT_EQ(r.IsCxHdrRename(), ext && s.rename);
    EXPECT_EQ(r.IsBrimDeletedItem(), ext && s.del);
    EXPECT_EQ(r.GetSourceVolumePath(), ext ? s.sourceVolume : "");
    EXPECT_EQ(r.IsMigrationAssistantPath(), ext && s.migrationAssistant);
    EXPECT_EQ(r.IsContentPush(), ext && s.contentPush);
    EXPECT_EQ(r.IsSelectedForAccess(), ext && s.selectedForAccess);
    EXPECT_EQ(r.GetCurrentItemWellKnownFolderMetadata(), ext ? s.wellKnownFolder : "");
    EXPECT_EQ(r.GetCurrentItemDDBMetadata(), "");

    long long size = 0;
    if (ext && w.sizeValid) size = w.size;
    else if (ext && s.brim && s.fileSize > 0) size = s.fileSize;
    EXPECT_EQ(r.GetCurrentItemFileSize(), size);
    EXPECT_EQ(r.GetCurrentItemCheckSum(), ext ? w.checkSum : "");
    EXPECT_EQ(r.GetStripLevel(), ext ? w.strip : 0u);
    EXPECT_EQ(r.GetPseudoPath(), ext ? w.pseudo : "");
    EXPECT_EQ(r.IsAdhocItem(), ext && w.adhoc);

    const bool brim = ext && s.brim;
    EXPECT_EQ(r.GetCurrentItemBrimParentGUID(), brim ? s.parentGuid : "");
    EXPECT_EQ(r.GetCurrentItemBrimRealPath(), brim ? s.realPath : "");
    EXPECT_EQ(r.IsBrimDeleteAfterBackup(), brim && s.deleteAfterBackup);
    EXPECT_EQ(r.IsBrimNewItem(), brim && s.isNew);
    EXPECT_EQ(r.IsBrimMovedUnderNewFolderItem(), brim && s.underNew);
    EXPECT_EQ(r.IsBrimReplacedItem(), brim && s.replaced);
    EXPECT_EQ(r.GetCurrentItemFileId(), brim ? static_cast<long long>(s.frn) : 0);
    EXPECT_EQ(r.GetMetadatafile(), brim ? s.metadataFile : "");
    EXPECT_EQ(r.GetPxDataOffset(), brim && s.hasPxOffset ? s.pxOffset : 0);
    EXPECT_EQ(r.GetPxDataSize(), brim && s.hasPxSize ? s.pxSize : 0);
}

class CollectLineRoundTrip : public ::testing::Test {
protected:
    void SetUp() override { ZYPI_Focus::SetIsService(false); }
    testsupport::ScopedSettings m_settings;  // no local job-results folder: names are not rewritten
    testsupport::ScopedTempDir m_dir;
};

TEST_F(CollectLineRoundTrip, GeneratedEntriesReadBackUnchanged) {
    Generator g(20261205);
    const std::string path = m_dir / "Collect.zyf";
    for (int round = 0; round < 1500; ++round) {
        SFormatterSettings s;
        auto f = MakeFormatter(g, s);
        std::vector<SWrittenLine> written(1 + g.Below(6));
        std::string content;
        for (SWrittenLine& w : written) {
            w.offset = static_cast<long long>(content.size());
            std::string line = FormatEntry(g, *f, w);
            ASSERT_EQ(line.find_first_of("\r\n"), std::string::npos) << line;
            content += line + "\n";
        }
        testsupport::WriteFile(path, content);

        const bool hasStart = s.extended || s.start[2] != '?';
        CCollectFileReader r(path);
        r.SetHasStartCharacters(hasStart);
        ASSERT_TRUE(r.OpenCollectFile().IsSuccess());
        std::string name;
        for (const SWrittenLine& w : written) {
            SCOPED_TRACE("round " + std::to_string(round) + ", line [" + r.GetCurrentOriginalLine() + "]");
            CKoError e = r.GetNextLine(name);
            ASSERT_TRUE(e.IsSuccess()) << e.AsString();
            ExpectLine(r, s, w, hasStart);
        }
        ASSERT_TRUE(FXErrorUtil::IsWin32(r.GetNextLine(name), ZyWin32::ERROR_NO_MORE_ITEMS));

        // A restart from any saved offset gives that line again.
        const SWrittenLine& again = written[g.Below(written.size())];
        ASSERT_TRUE(r.MoveToPosition(again.offset).IsSuccess());
        ASSERT_TRUE(r.GetNextLine(name).IsSuccess());
        ExpectLine(r, s, again, hasStart);
        if (HasFailure()) return;
    }
}

// The line grammar has no escape for "?": a counted file whose name ends in "?" reads back as a
// not-counted file without it. Callers that need such names must escape them; this pins the rule
// so that a change to it is seen.
TEST_F(CollectLineRoundTrip, NamesEndingInQuestionMark) {
    auto info = std::make_shared<CStartCharacterCommonInfo>();
    info->scanJobType = EScanJobType(EScanJobType::BRIM_SYNC);
    CStartCharacterCollectLineFormatter f(info, '?', '?', '?');
    const std::string path = m_dir / "Collect.zyf";
    testsupport::WriteFile(path, f.GetFormattedLine(CCollectFileFileEntry("/what?", ZY_HERE, "r", false)) + "\n" +
                                     f.GetFormattedLine(CCollectFileFileEntry("/what?", ZY_HERE, "r", true)) + "\n");
    CCollectFileReader r(path);
    ASSERT_TRUE(r.OpenCollectFile().IsSuccess());
    std::string name;
    ASSERT_TRUE(r.GetNextLine(name).IsSuccess());
    EXPECT_EQ(name, "/what");
    EXPECT_FALSE(r.IsCounted());
    ASSERT_TRUE(r.GetNextLine(name).IsSuccess());
    EXPECT_EQ(name, "/what?");
    EXPECT_FALSE(r.IsCounted());
}

// Whatever the bytes, every line is either parsed or reported, and together the lines account for
// every byte of the file.
TEST_F(CollectLineRoundTrip, ArbitraryBytesLoseNothing) {
    Generator g(7);
    const std::string path = m_dir / "Garbage.zyf";
    const char alphabet[] = "|<>%?*\\\r\nab/\0\x1A\xFF";
    for (int round = 0; round < 200; ++round) {
        std::string content;
        size_t length = g.Below(4000);
        for (size_t i = 0; i < length; ++i) content.push_back(alphabet[g.Below(sizeof alphabet - 1)]);
        testsupport::WriteFile(path, content);
        const bool hasStart = g.Chance(50);
        CCollectFileReader r(path);
        r.SetHasStartCharacters(hasStart);
        ASSERT_TRUE(r.OpenCollectFile().IsSuccess());
        size_t bytes = 0;
        std::string name;
        for (;;) {
            CKoError e = r.GetNextLine(name);
            if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_NO_MORE_ITEMS)) break;
            ASSERT_TRUE(e.IsSuccess() || FXErrorUtil::IsWin32(e, ZyWin32::ERROR_INVALID_DATA)) << e.AsString();
            ASSERT_EQ(r.GetCurrentItemPosition(), static_cast<long long>(bytes));
            ASSERT_EQ(content.compare(bytes, r.GetCurrentOriginalLine().size(), r.GetCurrentOriginalLine()), 0);
            bytes += r.GetCurrentOriginalLine().size();
        }
        ASSERT_EQ(bytes, content.size()) << "round " << round;
    }
}

}  // namespace
