#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/File.h"
#include "scan/dirchange/DirChangeFileFormat.h"
#include "scan/dirchange/DirChangeParser.h"
#include "scan/dirchange/DirChangeItemData.h"
#include "support/TestSupport.h"
#include "scan/dirchange/FlatDirChangeLineReader.h"
#include "scan/dirchange/DirChangeFileLineReader.h"

namespace {

using testsupport::ScopedTempDir;
using testsupport::WriteFile;

// Every line of a tree DirChange file as "D:text" or "F:text".
std::vector<std::string> ReadTree(const std::string& path, size_t bufferSize = CLineBuffer::kDefaultSize) {
    FXFileHandle file;
    EXPECT_TRUE(FXFile::zyfopen(path, "rb", file).IsSuccess());
    CDirChangeFileLineReader reader(file.Get(), bufferSize);
    std::vector<std::string> lines;
    bool got = false;
    while (reader.ReadLine(got).IsSuccess() && got)
        lines.push_back((reader.IsFile() ? "F:" : "D:") + std::string(reader.Text()));
    return lines;
}

TEST(DirChangeFileLineReader, VersionLineIsOptionalAndLinesAreCutAtLfThenCr) {
    ScopedTempDir dir;
    const std::string body = "/a\n\tf1\n\tf2\r\n/a/b\r\n\tx\ry\nUNC-NT_srv/share\n\tlast";
    WriteFile(dir / "with", "Version2\n" + body);
    WriteFile(dir / "without", body);
    const std::vector<std::string> expected = {"D:/a", "F:f1", "F:f2", "D:/a/b", "F:x", "D:UNC-NT_srv/share", "F:last"};
    EXPECT_EQ(ReadTree(dir / "with"), expected);
    EXPECT_EQ(ReadTree(dir / "without"), expected);
    // Only a first line that is exactly "Version2" is a header.
    WriteFile(dir / "late", "/a\nVersion2\n");
    EXPECT_EQ(ReadTree(dir / "late"), (std::vector<std::string>{"D:/a", "D:Version2"}));
    WriteFile(dir / "crlf", "Version2\r\n/a\n");
    EXPECT_EQ(ReadTree(dir / "crlf"), (std::vector<std::string>{"D:Version2", "D:/a"}));
    WriteFile(dir / "empty", "");
    EXPECT_TRUE(ReadTree(dir / "empty").empty());
}

TEST(DirChangeFileLineReader, LinesLongerThanTheBufferAreWhole) {
    ScopedTempDir dir;
    const std::string longName(100000, 'n');
    WriteFile(dir / "f", "/folder\n\t" + longName + "\n/next\n");
    EXPECT_EQ(ReadTree(dir / "f"), (std::vector<std::string>{"D:/folder", "F:" + longName, "D:/next"}));
    // The same through a tiny buffer, so that every line spans reads.
    EXPECT_EQ(ReadTree(dir / "f", 7), (std::vector<std::string>{"D:/folder", "F:" + longName, "D:/next"}));
}

TEST(DirChangeFileLineReader, ReadErrorsAreReported) {
    ScopedTempDir dir;
    FXFileHandle file;
    ASSERT_TRUE(FXFile::zyfopen(dir / "w", "w", file).IsSuccess());  // not open for reading
    CDirChangeFileLineReader reader(file.Get());
    bool got = true;
    CKoError e = reader.ReadLine(got);
    EXPECT_TRUE(e.IsError());
    EXPECT_TRUE(FXErrorUtil::IsErrNo(e, EBADF)) << e.AsString();
}

TEST(FlatDirChangeLineReader, FieldsOffsetsAndBlocks) {
    const std::string text =
        "Version2\n/\n/a/|<FID>0x1\n\tf1|<IS>1||ignored|<D>1\n\tf2\r\r\n/b/\n\tg\n\n/c/\n";
    std::istringstream stream(text);
    CStreamLineSource source(stream);
    CFlatDirChangeLineReader reader(source);
    bool got = false;
    ASSERT_TRUE(reader.ReadLine(got).IsSuccess());
    ASSERT_TRUE(got);
    EXPECT_EQ(reader.Kind(), CFlatDirChangeLineReader::LINE_FOLDER);
    EXPECT_EQ(reader.Name(), "/");
    EXPECT_EQ(reader.LineStart(), 9u);

    ASSERT_TRUE(reader.ReadLine(got).IsSuccess());
    EXPECT_EQ(reader.Kind(), CFlatDirChangeLineReader::LINE_FOLDER);
    EXPECT_EQ(reader.Fields(), (std::vector<std::string_view>{"/a/", "<FID>0x1"}));
    const uint64_t blockA = reader.EndOffset();
    EXPECT_EQ(blockA, text.find("\tf1"));

    ASSERT_TRUE(reader.ReadLine(got).IsSuccess());
    EXPECT_EQ(reader.Kind(), CFlatDirChangeLineReader::LINE_FILE);
    EXPECT_EQ(reader.Name(), "\tf1");
    EXPECT_EQ(reader.NameWithoutTab(), "f1");
    EXPECT_EQ(reader.FieldCount(), 2u);  // nothing after "||" counts
    std::vector<std::string> fields{"stale", "stale", "stale"};
    reader.AssignFields(fields);
    EXPECT_EQ(fields, (std::vector<std::string>{"\tf1", "<IS>1"}));
    FVBasePtr item;
    ASSERT_TRUE(CDirChangeParser().GetItemInfo(item, fields).IsSuccess());
    EXPECT_TRUE(std::dynamic_pointer_cast<CDirChangeItemData>(item)->GetIsAddedToCollect());
    EXPECT_FALSE(std::dynamic_pointer_cast<CDirChangeItemData>(item)->GetIsDeleted());

    ASSERT_TRUE(reader.ReadLine(got).IsSuccess());
    EXPECT_EQ(reader.Line(), "\tf2");  // every CR and LF trimmed from the right
    EXPECT_EQ(reader.FieldCount(), 1u);
    ASSERT_TRUE(reader.ReadLine(got).IsSuccess());
    EXPECT_EQ(reader.Name(), "/b/");
    ASSERT_TRUE(reader.ReadLine(got).IsSuccess());
    ASSERT_TRUE(reader.ReadLine(got).IsSuccess());
    EXPECT_TRUE(got);
    EXPECT_EQ(reader.Kind(), CFlatDirChangeLineReader::LINE_EMPTY);
    ASSERT_TRUE(reader.ReadLine(got).IsSuccess());
    EXPECT_EQ(reader.Name(), "/c/");
    ASSERT_TRUE(reader.ReadLine(got).IsSuccess());
    EXPECT_FALSE(got);

    // Back to a block: its file lines, up to the next line without TAB.
    ASSERT_TRUE(reader.Seek(blockA).IsSuccess());
    std::vector<std::string> block;
    while (reader.ReadLine(got).IsSuccess() && got && reader.Kind() == CFlatDirChangeLineReader::LINE_FILE)
        block.emplace_back(reader.NameWithoutTab());
    EXPECT_EQ(block, (std::vector<std::string>{"f1", "f2"}));
}

TEST(FlatDirChangeLineReader, FileSourceWithSmallBufferKeepsOffsets) {
    ScopedTempDir dir;
    std::string text;
    std::vector<uint64_t> blocks;
    for (int i = 0; i < 50; ++i) {
        CDirChangeFileFormat::AppendFlatFolderLine(text, "/dir" + std::to_string(i), true, "");
        blocks.push_back(text.size());
        for (int j = 0; j < i % 4; ++j) CDirChangeFileFormat::AppendFlatFileLine(text, "file" + std::to_string(j), true, "");
    }
    WriteFile(dir / "flat", text);
    FXFileHandle file;
    ASSERT_TRUE(FXFile::zyfopen(dir / "flat", "rb", file).IsSuccess());
    CFileLineSource source(file.Get());
    CFlatDirChangeLineReader reader(source, 0, 5);
    bool got = false;
    std::vector<uint64_t> seen;
    while (reader.ReadLine(got).IsSuccess() && got)
        if (reader.Kind() == CFlatDirChangeLineReader::LINE_FOLDER) seen.push_back(reader.EndOffset());
    EXPECT_EQ(seen, blocks);
    ASSERT_TRUE(reader.Seek(blocks[7]).IsSuccess());
    ASSERT_TRUE(reader.ReadLine(got).IsSuccess());
    EXPECT_EQ(reader.Line(), "\tfile0");
    EXPECT_EQ(reader.LineStart(), blocks[7]);
}

TEST(DirChangeFileFormat, TreeLines) {
    std::string out;
    CDirChangeFileFormat::AppendTreeFolderLine(out, "/a/b");
    CDirChangeFileFormat::AppendTreeFileLine(out, "x|y");
    CDirChangeFileFormat::AppendTreeFolderLine(out, "//srv/share/d");
    EXPECT_EQ(out, "/a/b\n\tx|y\nUNC-NT_srv/share/d\n");
}

TEST(DirChangeFileFormat, FlatLinesEscapeAndCarryFields) {
    std::string out;
    CDirChangeFileFormat::AppendFlatFolderLine(out, "/a|b", true, "|<FID>0x1");
    CDirChangeFileFormat::AppendFlatFolderLine(out, "/a|b/", false, "");
    CDirChangeFileFormat::AppendFlatFolderLine(out, "/", true, "");
    CDirChangeFileFormat::AppendFlatFolderLine(out, "//srv/share", true, "");
    CDirChangeFileFormat::AppendFlatFileLine(out, "50%\n", true, "|<IS>1");
    EXPECT_EQ(out, "/a%7Cb/|<FID>0x1\n/a|b/\n/\nUNC-NT_srv/share/\n\t50%25%0A|<IS>1\n");

    std::string dp;
    CDirChangeFileFormat::AppendDecisionPointFields(dp, "T1", FXCodeLocation("F", "void f()", 12), "new file");
    EXPECT_EQ(dp, "|<DPtim>T1|<DPloc>void f()(12)|<DPrsn>new file");
    dp.clear();
    CDirChangeFileFormat::AppendDecisionPointFields(dp, "T2", FXCodeLocation(), "");
    EXPECT_EQ(dp, "|<DPtim>T2");
    out.clear();
    CDirChangeFileFormat::AppendFlatFileLine(out, "n", false, "", dp);
    EXPECT_EQ(out, "\tn|<DPtim>T2\n");
}

TEST(DirChangeFileFormat, FlatNamesRoundTrip) {
    std::string folder;
    CDirChangeFileFormat::DecodeFlatFolder("/a%7Cb///", true, folder);
    EXPECT_EQ(folder, "/a|b/");
    CDirChangeFileFormat::DecodeFlatFolder("/a%7Cb", false, folder);
    EXPECT_EQ(folder, "/a%7Cb/");
    CDirChangeFileFormat::DecodeFlatFolder("unc-nt_srv/share/", true, folder);
    EXPECT_EQ(folder, "//srv/share/");
    CDirChangeFileFormat::DecodeFlatFolder("/", true, folder);
    EXPECT_EQ(folder, "/");

    std::mt19937 rng(11);
    std::string text;
    std::vector<std::string> names;
    for (int i = 0; i < 300; ++i) {
        std::string name;
        const int length = std::uniform_int_distribution<int>(1, 12)(rng);
        for (int j = 0; j < length; ++j) {
            char c = static_cast<char>(std::uniform_int_distribution<int>(1, 255)(rng));
            name.push_back(c == '/' ? 'x' : c);
        }
        names.push_back(name);
        CDirChangeFileFormat::AppendFlatFileLine(text, name, true, "|<IS>1");
    }
    std::istringstream stream(text);
    CStreamLineSource source(stream);
    CFlatDirChangeLineReader reader(source);
    bool got = false;
    std::vector<std::string> back;
    std::string decoded;
    while (reader.ReadLine(got).IsSuccess() && got) {
        ASSERT_EQ(reader.FieldCount(), 2u);
        CDirChangeFileFormat::DecodeFlatFileName(reader.NameWithoutTab(), true, decoded);
        back.push_back(decoded);
    }
    EXPECT_EQ(back, names);
}

}  // namespace
