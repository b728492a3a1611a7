#include <gtest/gtest.h>

#include "scan/collect/CollectLineFormatter.h"
#include "scan/collect/StringEncoderDecoder.h"
#include "scan/collect/StartCharacterCollectLineFormatter.h"
#include "scan/collect/BrimCollectLineFormatter.h"

namespace {

CStartCharacterCommonInfoPtr Info(int type) {
    auto info = std::make_shared<CStartCharacterCommonInfo>();
    info->scanJobType = EScanJobType(type);
    return info;
}

CCollectFileFileEntry File(const std::string& path, bool notCounted = false) {
    return CCollectFileFileEntry(path, ZY_HERE, "test", notCounted);
}

CCollectFileFolderEntry Folder(const std::string& path, bool notCounted = false) {
    return CCollectFileFolderEntry(path, ZY_HERE, "test", notCounted);
}

TEST(CollectFileEntry, ConstructorsShapeThePath) {
    CCollectFileFileEntry sized("/a/b/", ZY_HERE, "why", 42);
    EXPECT_EQ(sized.GetFullPath(), "/a/b");
    EXPECT_TRUE(sized.IsSizeValid());
    EXPECT_EQ(sized.GetSize(), 42);
    EXPECT_FALSE(sized.IsNotCounted());

    CCollectFileFileEntry plain("/a/b/", ZY_HERE, "why", true);
    EXPECT_EQ(plain.GetFullPath(), "/a/b/");
    EXPECT_FALSE(plain.IsSizeValid());
    EXPECT_TRUE(plain.IsNotCounted());
    EXPECT_FALSE(plain.IsStripLevelValid());
    EXPECT_FALSE(plain.IsPseudoPathValid());

    EXPECT_EQ(Folder("/a/b").GetFullPath(), "/a/b/");
    EXPECT_EQ(Folder("/a/b/").GetFullPath(), "/a/b/");
}

TEST(ScanJobType, DisplayTable) {
    EXPECT_EQ(EScanJobType(18).AsString(), "FILE_LEVEL_REPLICATION_REPSET");
    EXPECT_EQ(EScanJobType(33).AsWstring(), L"SOLR_CLOUD_BACKUP");
    EXPECT_EQ(EScanJobType(999).AsString(), "999");
}

TEST(CollectLineFormatter, PlainFormAndMetadataPrimitives) {
    CCollectLineFormatter f;
    EXPECT_EQ(f.GetFormattedLine(File("/x", true)), "/x?");
    EXPECT_EQ(f.GetFormattedLine(Folder("/d")), "/d/");
    EXPECT_EQ(f.GetMetadata(), "");
    std::string line;
    f.AddMetadata(line, "K");
    f.AddMetadata(line, "S", std::string("v"));
    f.AddMetadata(line, "I", -5);
    f.AddMetadata(line, "L", -9000000000LL);
    f.AddMetadata(line, "U", 18446744073709551615ULL);
    f.AddMetadataRaw(line, "raw");
    EXPECT_EQ(line, "|<K>|<S>v|<I>-5|<L>-9000000000|<U>18446744073709551615|raw");

    CStringEncoderDecoder codec;
    std::string out;
    EXPECT_TRUE(codec.Encode("a|b", out).IsSuccess());
    EXPECT_EQ(out, "a|b");
    EXPECT_TRUE(codec.Decode("%7C", out).IsSuccess());
    EXPECT_EQ(out, "%7C");
}

TEST(StartCharacterFormatter, ShortFormIsThePathUnlessTheThirdCharacterIsSet) {
    CStartCharacterCollectLineFormatter def;
    EXPECT_EQ(def.GetFormattedLine(File("/a/b", true)), "/a/b");  // no "?" and no fields
    def.SetBackupAtPath("/bap");
    EXPECT_EQ(def.GetFormattedLine(Folder("/a")), "/a/");

    CStartCharacterCollectLineFormatter flr(Info(EScanJobType::FILE_SYSTEM), false, true, true);
    EXPECT_EQ(flr.GetFormattedLine(File("/a/b")), "?**/a/b");
    CStartCharacterCollectLineFormatter noInfo(nullptr, '*', 'c', 'p');
    EXPECT_EQ(noInfo.GetFormattedLine(File("/a")), "*cp/a");
    CStartCharacterCollectLineFormatter mount(Info(EScanJobType::FILE_SYSTEM), true, true, false);
    EXPECT_EQ(mount.GetFormattedLine(File("/a")), "/a");  // start characters dropped, "*" in them too
}

TEST(StartCharacterFormatter, ExtendedFormBasics) {
    CStartCharacterCollectLineFormatter solr(Info(EScanJobType::SOLR_CLOUD_BACKUP), '?', '?', '?');
    EXPECT_EQ(solr.GetFormattedLine(File("/a/b")), "???" "/a/b|<FILE>|<AB>");
    EXPECT_EQ(solr.GetFormattedLine(Folder("C:")), "???C:/|<DIR>|<AB>");
    EXPECT_EQ(solr.GetFormattedLine(Folder("/d/")), "???" "/d/|<DIR>|<AB>");
    EXPECT_EQ(solr.GetFormattedLine(CCollectFileFileEntry("/f", ZY_HERE, "r", 10)), "???" "/f|<FILE>|<AB>|<FS>10");

    // The first character "*" means "do not reset the archive bit": no AB tag.
    CStartCharacterCollectLineFormatter keep(Info(EScanJobType::BRIM_SYNC), true, false, false);
    EXPECT_EQ(keep.GetFormattedLine(File("/a")), "*??" "/a|<FILE>");
}

TEST(StartCharacterFormatter, NotCountedMarkComesBeforeSuffixNumberAndFields) {
    auto info = Info(EScanJobType::SOLR_CLOUD_BACKUP);
    info->hasItemSuffixNumber = true;
    info->itemSuffixNumber = 7;
    CStartCharacterCollectLineFormatter f(info, '?', '?', '?');
    f.SetWellKnownFolderMetadata("%DESKTOP%");
    EXPECT_EQ(f.GetFormattedLine(Folder("/a", true)), "???" "/a/?*7|%DESKTOP%|<DIR>|<AB>");
    info->itemSuffixNumber = 0xFFFFFFFFu;  // the "unset" value is never written
    EXPECT_EQ(f.GetFormattedLine(File("/b")), "???" "/b|%DESKTOP%|<FILE>|<AB>");
}

TEST(StartCharacterFormatter, EveryTagInItsOrder) {
    CStartCharacterCollectLineFormatter f(Info(EScanJobType::SOLR_CLOUD_BACKUP), '?', '?', '?');
    f.SetBackupAtPath("/bap");
    f.SetBackupHeaderOnly(true);
    f.SetDirDoesNotExist(true);
    f.SetCxHdrHideInBrowse(true);
    f.SetCxHdrRename(true);
    f.SetDelete(true);
    f.SetSourceVolumePath("/vol");
    f.SetMigrationAssistantPath(true);
    f.SetFolderDepth(4);
    f.SetContentPush(true);
    f.SetSelectedForAccess(true);
    f.SetJobResultsDir("/jr");
    EXPECT_EQ(f.GetSourceVolumePath(), "/vol/");
    EXPECT_EQ(f.GetMetadata(),
              "|<BAP>/bap|<BHO>|<DDNE>|<HIB>|<REN>|<DEL>|<SRCVOLPATH>/vol/|<MA>|<DEPTH>4|<AB>|<CPUSH>|<ACCESS>|<JR>/jr");

    CCollectFileFileEntry file("/f", ZY_HERE, "r", 5);
    file.SetCheckSum("abc");
    file.SetStripLevel(2);
    file.SetPseudoPath("/p");
    file.SetAdhocItem(true);
    file.SetCxHdrHideInBrowse(true);
    EXPECT_EQ(f.GetFormattedLine(file), "???" "/f|<FILE>" + f.GetMetadata() + "|<FS>5|<CSUM>abc|<STRIP>2|<PSEUDO>/p|<ADHOC>|<HIB>");

    CCollectFileFolderEntry folder = Folder("/d");
    folder.SetStripLevel(3);
    folder.SetPseudoPath("/q");
    folder.SetAdhocItem(true);
    folder.SetCxHdrHideInBrowse(true);
    EXPECT_EQ(f.GetFormattedLine(folder), "???" "/d/|<DIR>" + f.GetMetadata() + "|<ADHOC>|<STRIP>3|<PSEUDO>/q|<HIB>");

    f.SetSourceVolumePath("");  // empty stays "none"
    EXPECT_EQ(f.GetMetadata().find("SRCVOLPATH"), std::string::npos);
}

TEST(StartCharacterFormatter, PreservedTagsReplaceEverythingButDiagnostics) {
    auto info = Info(EScanJobType::BRIM_SYNC);
    info->hasItemSuffixNumber = true;
    info->itemSuffixNumber = 3;
    CStartCharacterCollectLineFormatter f(info, '?', '?', '?');
    f.SetBackupAtPath("/bap");
    f.SetTagsToBePreserved("|<CPUSH>|<X>1");
    EXPECT_EQ(f.GetFormattedLine(CCollectFileFileEntry("/f", ZY_HERE, "r", 5)), "???" "/f|<CPUSH>|<X>1");

    info->addDiagnosticTags = true;
    std::string line = f.GetFormattedLine(CCollectFileFileEntry("/f", FXCodeLocation("x.cpp", "void g()", 12), "r", 5));
    EXPECT_EQ(line.rfind("???" "/f|<CPUSH>|<X>1|<DPtim>", 0), 0u) << line;
    EXPECT_NE(line.find("|<DPloc>void g()(12)|<DPrsn>r"), std::string::npos) << line;
}

TEST(StartCharacterFormatter, DiagnosticTextCannotSplitTheLine) {
    auto info = Info(EScanJobType::SOLR_CLOUD_BACKUP);
    info->addDiagnosticTags = true;
    CStartCharacterCollectLineFormatter f(info, '?', '?', '?');
    std::string line = f.GetFormattedLine(
        CCollectFileFileEntry("/f", FXCodeLocation("x.cpp", "bool operator||(a, b)", 1), "new|moved\r\nx||y", 9));
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos);
    EXPECT_NE(line.find("|<DPloc>bool operator%7C%7C(a, b)(1)|<DPrsn>new%7Cmoved%0D%0Ax%7C%7Cy|<FS>9"),
              std::string::npos)
        << line;
}

TEST(StartCharacterFormatter, NetworkPathsBecomeMonikersExceptForReplication) {
    CStartCharacterCollectLineFormatter f(Info(EScanJobType::SOLR_CLOUD_BACKUP), '?', '?', '?');
    EXPECT_EQ(f.GetFormattedLine(File("//srv/share/x")), "???UNC-NT_srv/share/x|<FILE>|<AB>");
    EXPECT_EQ(f.GetFormattedLine(Folder("//srv/share")), "???UNC-NT_srv/share/|<DIR>|<AB>");

    // A replication job keeps the path; it is not an extended-form job type, so the line is short.
    CStartCharacterCollectLineFormatter repl(Info(EScanJobType::FILE_LEVEL_REPLICATION_REPSET), '?', '?', '*');
    EXPECT_EQ(repl.GetFormattedLine(File("//srv/share/x")), "??*//srv/share/x");
}

TEST(BrimFormatter, DepthAndSyncTags) {
    CBrimCollectLineFormatter f(Info(EScanJobType::BRIM_SYNC), false, false);
    EXPECT_EQ(f.GetFormattedLine(Folder("/a/b/")), "???" "/a/b/|<DIR>|<DEPTH>2|<AB>");
    EXPECT_EQ(f.GetFormattedLine(File("/a/b/c")), "???" "/a/b/c|<FILE>|<DEPTH>3|<AB>");
    // One character keeps the last depth.
    EXPECT_EQ(f.GetFormattedLine(Folder("/")), "???" "/|<DIR>|<DEPTH>3|<AB>");

    f.SetBrimMoved(true);
    f.SetBrimParentGuid("G");
    f.SetBrimRealPath("/real");
    f.SetBrimDeleteAfterBackup(true);
    f.SetUsn(77);
    f.SetBrimNew(true);
    f.SetBrimUnderNew(true);
    f.SetBrimReplaced(true);
    f.SetFileSize(12);
    f.SetFRN(0xABCULL);
    f.SetMTime(1700000000);
    f.SetMetadataFile("/md");
    f.SetPxDataOffset("0x10");
    f.SetPxDataSize("20");
    f.SetFolderDepth(9);
    EXPECT_EQ(f.GetFormattedLine(File("/a/b")),
              "???" "/a/b|<FILE>|<BSM>|<BPG>G|<BRP>/real|<BDAB>|<USN>77|<DEPTH>2|<NEW>|<UNEW>|<REP>|<FS>12|<FRN>2748"
              "|<MTIME>1700000000|<MDATA>/md|<PXOFFSET>0x10|<PXSIZE>20|<DEPTH>9|<AB>");

    // In a scan that writes the short form the sync tags are not written at all.
    CBrimCollectLineFormatter shortForm(Info(EScanJobType::FILE_SYSTEM), false, false);
    shortForm.SetBrimNew(true);
    EXPECT_EQ(shortForm.GetFormattedLine(File("/a/b")), "/a/b");
}

}  // namespace
