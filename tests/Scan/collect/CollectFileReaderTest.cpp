#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "agent/PlatformServices.h"
#include "core/FaultInjectionEnv.h"
#include "core/StringUtil.h"
#include "scan/collect/CollectFileReader.h"
#include "support/TestSupport.h"

namespace {

using testsupport::ScopedTempDir;
using testsupport::WriteFile;

struct SReadLine {
    std::string name;
    long long offset;
};

// Reads to the end; every call but the last must succeed, and the last must be the end (259).
std::vector<SReadLine> ReadAll(CCollectFileReader& reader) {
    std::vector<SReadLine> lines;
    std::string name;
    for (;;) {
        CKoError e = reader.GetNextLine(name);
        if (e.IsError()) {
            EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_NO_MORE_ITEMS)) << e.AsString();
            return lines;
        }
        EXPECT_EQ(name, reader.GetCurrentItemName());
        lines.push_back({name, reader.GetCurrentItemPosition()});
    }
}

std::vector<std::string> Names(const std::vector<SReadLine>& lines) {
    std::vector<std::string> names;
    for (const auto& l : lines) names.push_back(l.name);
    return names;
}

class CollectFileReaderTest : public ::testing::Test {
protected:
    void SetUp() override { ZYPI_Focus::SetIsService(false); }

    // A reader over a file holding `content`, opened.
    CCollectFileReader& Open(const std::string& content, bool startCharacters, const std::string& name = "Collect.zyf") {
        std::string path = m_dir / name;
        WriteFile(path, content);
        m_reader = std::make_unique<CCollectFileReader>(path);
        m_reader->SetHasStartCharacters(startCharacters);
        CKoError e = m_reader->OpenCollectFile();
        EXPECT_TRUE(e.IsSuccess()) << e.AsString();
        return *m_reader;
    }

    ScopedTempDir m_dir;
    testsupport::ScopedSettings m_settings;
    std::unique_ptr<CCollectFileReader> m_reader;
};

TEST_F(CollectFileReaderTest, EndOfFileWithAndWithoutFinalLineFeed) {
    CCollectFileReader& r = Open("/a\n/b", false);
    auto lines = ReadAll(r);
    ASSERT_EQ(Names(lines), (std::vector<std::string>{"/a", "/b"}));
    EXPECT_EQ(lines[1].offset, 3);
    EXPECT_TRUE(r.IsEndOfFile());
    EXPECT_FALSE(r.IsFileError());
    std::string name;
    EXPECT_TRUE(FXErrorUtil::IsWin32(r.GetNextLine(name), ZyWin32::ERROR_NO_MORE_ITEMS));  // and it stays there

    EXPECT_TRUE(ReadAll(Open("", true, "empty.zyf")).empty());
}

TEST_F(CollectFileReaderTest, ClosedOrMissingFile) {
    CCollectFileReader closed(m_dir / "nothing.zyf");
    std::string name;
    CKoError e = closed.GetNextLine(name);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_INVALID_HANDLE));
    EXPECT_EQ(e.GetMessage(), "File not open");
    EXPECT_TRUE(FXErrorUtil::IsWin32(closed.MoveToPosition(0), ZyWin32::ERROR_INVALID_HANDLE));
    EXPECT_EQ(closed.GetCurrentPosition(), 0);
    EXPECT_FALSE(closed.IsEndOfFile());

    e = closed.OpenCollectFile();
    ASSERT_TRUE(e.IsError());
    EXPECT_NE(e.AsString().find("zyfopen failed, FileName=[" + m_dir / "nothing.zyf" + "]"), std::string::npos);
    EXPECT_FALSE(closed.IsOpen());
}

TEST_F(CollectFileReaderTest, ShortLineIsInvalidDataAndReadingGoesOn) {
    CCollectFileReader& r = Open("???" "/a\nab\r\n???" "/b\n", true);
    std::string name;
    ASSERT_TRUE(r.GetNextLine(name).IsSuccess());
    CKoError e = r.GetNextLine(name);
    ASSERT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_INVALID_DATA)) << e.AsString();
    EXPECT_EQ(e.GetMessage(),
              "Collect file entry is invalid as it has less than three characters. Additional information: processed "
              "entry=[ab], entry as read from collect file=[ab\r\n], this entry starts at offset=[6], current offset "
              "in file stream=[10], currently at EOF=[no], file stream error=[0], collect file=[" +
                  m_dir / "Collect.zyf" + "]");
    EXPECT_NE(e.AsString().find("ParseStartCharacters failed"), std::string::npos);
    ASSERT_TRUE(r.GetNextLine(name).IsSuccess());
    EXPECT_EQ(name, "/b");
}

TEST_F(CollectFileReaderTest, LegalHoldBackslashAndEmptyLines) {
    testsupport::ScopedLogCapture log(6);
    CCollectFileReader& r = Open("|/held/one|<DIR>\n|/held/two\n\\\n\n???" "/x|<DIR>\n", true);
    std::string name;
    ASSERT_TRUE(r.GetNextLine(name).IsSuccess());
    EXPECT_EQ(name, "/held/one|<DIR>");  // nothing after the bar is parsed
    EXPECT_TRUE(r.IsLegalHoldLine());
    EXPECT_FALSE(r.IsDirectory());
    EXPECT_TRUE(log.Log().Contains("LegalHoldLine=/held/one|<DIR>"));
    ASSERT_TRUE(r.GetNextLine(name).IsSuccess());
    EXPECT_EQ(name, "/held/two");
    ASSERT_TRUE(r.GetNextLine(name).IsSuccess());
    EXPECT_EQ(name, "\\");
    EXPECT_TRUE(r.IsBackslashLine());
    EXPECT_FALSE(r.IsLegalHoldLine());
    ASSERT_TRUE(r.GetNextLine(name).IsSuccess());
    EXPECT_EQ(name, "");
    ASSERT_TRUE(r.GetNextLine(name).IsSuccess());
    EXPECT_EQ(name, "/x");
    EXPECT_TRUE(r.IsDirectory());
    EXPECT_FALSE(r.IsBackslashLine());

    EXPECT_EQ(Names(ReadAll(Open("|a\n|b\n|c", true, "hold.zyf"))), (std::vector<std::string>{"a", "b", "c"}));
}

TEST_F(CollectFileReaderTest, PhantomFilesDropOneLeadingBackslash) {
    const std::string content = "\\\\x\n\\\n\\y|<DIR>\n";
    EXPECT_EQ(Names(ReadAll(Open(content, false, "J1_PhantomCollect.ZYF"))),
              (std::vector<std::string>{"\\x", "\\", "y"}));
    EXPECT_EQ(Names(ReadAll(Open(content, false, "Collect.zyf"))), (std::vector<std::string>{"\\\\x", "\\", "\\y"}));
}

// The start characters the formatters write are covered by the round trip; these come from
// elsewhere: a "\\" in third place makes the first two the system-state type and backup method.
TEST_F(CollectFileReaderTest, SystemStateStartCharacters) {
    CCollectFileReader& r = Open("AB\\/sys\nA*\\/x\n", true);
    std::string name;
    ASSERT_TRUE(r.GetNextLine(name).IsSuccess());
    EXPECT_EQ(name, "/sys");
    EXPECT_TRUE(r.IsSystemStateLine());
    EXPECT_EQ(r.GetSystemStateType(), 'A');
    EXPECT_EQ(r.GetSystemStateBackupMethod(), 'B');
    ASSERT_TRUE(r.GetNextLine(name).IsSuccess());
    EXPECT_TRUE(r.IsPathContainsMountPoint());  // "*" keeps its meaning, so there is no method
    EXPECT_FALSE(r.IsSystemStateLine());
}

TEST_F(CollectFileReaderTest, FieldsTagsAndTheRestOfTheLine) {
    testsupport::ScopedLogCapture log(1);
    CCollectFileReader& r = Open(
        "???" "/n?|%OLD|%WKF|ddb|<BAP>|<bap>x>y|<XYZ>1|<FS>0x10|<broken|<FrN>0x1F|<STRIP>010||<CPUSH>|<DEL>\n"
        "???" "/m?*7|<BAP>|<ab>\n",
        true);
    std::string name;
    ASSERT_TRUE(r.GetNextLine(name).IsSuccess());
    EXPECT_EQ(name, "/n");
    EXPECT_FALSE(r.IsCounted());
    EXPECT_EQ(r.GetCurrentItemWellKnownFolderMetadata(), "%WKF");
    EXPECT_EQ(r.GetCurrentItemDDBMetadata(), "ddb");
    EXPECT_EQ(r.GetCurrentItemBackupAtPath(), "x>y");
    EXPECT_EQ(r.GetCurrentItemFileSize(), 16);
    EXPECT_EQ(r.GetCurrentItemFileId(), 31);
    EXPECT_EQ(r.GetStripLevel(), 8u);  // base 0: a leading zero is octal
    EXPECT_FALSE(r.IsContentPush());   // after "||"
    EXPECT_FALSE(r.IsBrimDeletedItem());
    EXPECT_TRUE(log.Log().Contains(
        "Skipping metadata [<broken] because it starts with '<' but does not have a closing '>'"));

    // A "?" followed by the suffix number is not the not-counted mark.
    ASSERT_TRUE(r.GetNextLine(name).IsSuccess());
    EXPECT_EQ(name, "/m?*7");
    EXPECT_TRUE(r.IsCounted());
    EXPECT_EQ(r.GetCurrentItemBackupAtPath(), "");
    EXPECT_EQ(r.GetCurrentItemFileSize(), 0);
    EXPECT_TRUE(r.IsResetArchiveBit());
}

// Tags no formatter here writes (the round trip covers the others), ignored tags, keys in any
// case, and the reset of everything on the next line.
TEST_F(CollectFileReaderTest, ForeignTagsAndTheResetOnTheNextLine) {
    const std::string tagged =
        "*??" "/t|<DIR>|<AB>|<CSUM>c1|<PXOFFSET>0x20|<FABRICATED>|<CONTENT_BACKUP>|<FEI>4|<FEN>5|<FES>6"
        "|<LWTIME>100|<LATIME>200|<CTIME>-3|<VG>v1|<FRN>9|<DEPTH>2|<USN>5|<MTIME>1|<DPtim>t|<BSM>|<FILE>\n";
    for (const std::string& line : {tagged, FXString::ToLower(tagged)}) {
        SCOPED_TRACE(line);
        CCollectFileReader& r = Open(line + "*??" "/u\n", true);
        std::string name;
        ASSERT_TRUE(r.GetNextLine(name).IsSuccess());
        EXPECT_EQ(name, "/t");
        EXPECT_TRUE(r.IsDirectory());
        EXPECT_TRUE(r.IsResetArchiveBit());  // "*" in the first position, but the AB tag wins
        EXPECT_EQ(r.GetPxDataOffset(), 32);
        EXPECT_TRUE(r.IsAffinityFabricated());
        EXPECT_TRUE(r.IsBrimModifiedItem());
        EXPECT_FALSE(r.IsBrimRenameItem());
        EXPECT_EQ(r.GetFileExtentItemType(), 4u);
        EXPECT_EQ(r.GetNumOfFileExtents(), 5u);
        EXPECT_EQ(r.GetFileExtentSize(), 6u);
        unsigned long long wt = 0, at = 0;
        long long ct = 0;
        ASSERT_TRUE(r.GetLastWriteTime(wt) && r.GetLastAccessTime(at) && r.GetLastChangeTime(ct));
        EXPECT_EQ(wt, 100u);
        EXPECT_EQ(at, 200u);
        EXPECT_EQ(ct, -3);
        EXPECT_EQ(r.GetVersionGuid(), "v1");
        EXPECT_EQ(r.GetCurrentItemFileId(), 9);

        // Nothing of the line before survives, the optional times included.
        ASSERT_TRUE(r.GetNextLine(name).IsSuccess());
        EXPECT_FALSE(r.IsResetArchiveBit() || r.IsDirectory() || r.IsAffinityFabricated() || r.IsBrimModifiedItem());
        EXPECT_EQ(r.GetCurrentItemCheckSum(), "");
        EXPECT_EQ(r.GetPxDataOffset(), 0);
        EXPECT_EQ(r.GetCurrentItemFileId(), 0);
        EXPECT_EQ(r.GetFileExtentItemType(), 0u);
        EXPECT_EQ(r.GetVersionGuid(), "");
        wt = 7;
        EXPECT_FALSE(r.GetLastWriteTime(wt));
        EXPECT_EQ(wt, 7u);
        EXPECT_FALSE(r.GetLastChangeTime(ct));
    }
}

TEST_F(CollectFileReaderTest, RestartFromSavedOffsets) {
    CCollectFileReader& r = Open("???" "/one\r\n???" "/two?\n???" "/three\n", true);
    auto lines = ReadAll(r);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].offset, 9);
    EXPECT_EQ(lines[2].offset, 18);

    // Back to the second line after reaching the end: same line, same flags.
    ASSERT_TRUE(r.MoveToPosition(lines[1].offset).IsSuccess());
    EXPECT_EQ(r.GetCurrentPosition(), 9);
    std::string name;
    ASSERT_TRUE(r.GetNextLine(name).IsSuccess());
    EXPECT_EQ(name, "/two");
    EXPECT_FALSE(r.IsCounted());
    EXPECT_EQ(r.GetCurrentOriginalLine(), "???" "/two?\n");
    EXPECT_EQ(r.GetCurrentItemPosition(), 9);
    EXPECT_EQ(r.GetCurrentPosition(), 18);

    // A probed byte moves the start of the next line with it.
    ASSERT_TRUE(r.MoveToPosition(0).IsSuccess());
    EXPECT_EQ(r.GetNextCharacter(), '?');
    ASSERT_TRUE(r.GetNextLine(name).IsSuccess());
    EXPECT_EQ(r.GetCurrentItemPosition(), 1);
    EXPECT_EQ(name, "one");  // "??" "/" were taken as the start characters
    ASSERT_TRUE(r.GetNextLine(name).IsSuccess());
    EXPECT_EQ(r.GetCurrentItemPosition(), 9);
}

TEST_F(CollectFileReaderTest, LinesAtAndBeyondTheBufferSize) {
    const std::string exact(65535, 'e');
    CCollectFileReader& r = Open(exact + "\n/next\n", false);
    std::string name;
    ASSERT_TRUE(r.GetNextLine(name).IsSuccess());
    EXPECT_EQ(name, exact);
    EXPECT_EQ(r.GetCurrentOriginalLine(), exact + "\n");
    ASSERT_TRUE(r.MoveToPosition(0).IsSuccess());
    auto lines = ReadAll(r);
    ASSERT_EQ(lines.size(), 2u);  // no empty line from the line feed after a full buffer
    EXPECT_EQ(lines[1].offset, 65536);
    EXPECT_EQ(lines[1].name, "/next");

    // 10 MiB on one line, without a final line feed: pieces of 65,535 bytes, nothing lost.
    std::string huge(10u << 20, 'x');
    for (size_t i = 0; i < huge.size(); i += 4099) huge[i] = static_cast<char>('a' + i % 26);
    CCollectFileReader& big = Open(huge, false, "huge.zyf");
    lines = ReadAll(big);
    ASSERT_EQ(lines.size(), huge.size() / 65535 + 1);
    std::string joined;
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].offset, static_cast<long long>(i * 65535));
        EXPECT_LE(lines[i].name.size(), 65535u);
        joined += lines[i].name;
    }
    EXPECT_EQ(joined, huge);
}

TEST_F(CollectFileReaderTest, BytesThatAreNotText) {
    std::string content("/a\0b\t\x0B\xC3\xA9 \n/c\n", 13);
    auto lines = ReadAll(Open(content, false));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].name, std::string("/a\0b\t\x0B\xC3\xA9 ", 9));
    EXPECT_EQ(lines[1].name, "/c");
    EXPECT_EQ(lines[1].offset, 10);
}

TEST_F(CollectFileReaderTest, ReadErrorIsReturnedAndKept) {
    testsupport::WriteFile(m_dir / "Collect.zyf", "/a\n");
    FXFaultInjectionEnv env;
    FXScopedEnv scoped(&env);
    CCollectFileReader r(m_dir / "Collect.zyf");
    ASSERT_TRUE(r.OpenCollectFile().IsSuccess());
    EXPECT_TRUE(r.GetFileReadError().IsSuccess());
    env.FailNth(EFaultOp::Read, 1, EIO);
    std::string name;
    CKoError e = r.GetNextLine(name);
    ASSERT_TRUE(FXErrorUtil::IsErrNo(e, EIO)) << e.AsString();
    EXPECT_NE(e.AsString().find("Failed to read collect file"), std::string::npos);
    EXPECT_TRUE(FXErrorUtil::IsErrNo(r.GetFileReadError(), EIO));
    EXPECT_TRUE(r.IsFileError());
    EXPECT_FALSE(r.IsEndOfFile());
}

TEST_F(CollectFileReaderTest, NamesMoveFromTheWritersToThisMachinesJobResults) {
    m_settings.Set("Agent", "JobResultsDir", "/local/jr");
    const std::string content =
        "???" "/remote/jr/Stub1.zyf|<JR>/remote/jr\n"
        "???" "/remote/jr/sub/remote/jr/Stub2.zyf\n"  // the writer's folder is remembered
        "???" "/elsewhere/x|<JR>/remote/jr\n";
    EXPECT_EQ(Names(ReadAll(Open(content, true))),
              (std::vector<std::string>{"/local/jr/Stub1.zyf", "/local/jr/sub/local/jr/Stub2.zyf", "/elsewhere/x"}));

    // The agent's service does not rewrite.
    ZYPI_Focus::SetIsService(true);
    EXPECT_EQ(Names(ReadAll(Open(content, true, "svc.zyf")))[0], "/remote/jr/Stub1.zyf");
    ZYPI_Focus::SetIsService(false);
}

}  // namespace
