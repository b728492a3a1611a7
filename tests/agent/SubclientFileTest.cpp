#include <gtest/gtest.h>

#include "agent/SubclientFile.h"
#include "support/TestSupport.h"

namespace {

TEST(SubclientFile, ParsesEveryKey) {
    const std::string text =
        "# shares of the file server\r\n"
        "id        = 17\n"
        "\n"
        "   content = /srv/data  \n"
        "content=/home\n"
        "filter = /srv/data/cache\n"
        "filter = *.tmp\n"
        "exception = /srv/data/cache/keep\n"
        "readers = 3\n"
        "filetype = Images: *.jpg   *.png\n"
        "filetype = Text:*.txt\n"
        "added = /srv/data/new # not a comment\n"
        "last-backup = 1717000000\n";
    ZYSubclientDefinition def;
    ASSERT_TRUE(ZYSubclientFile::Parse("/etc/sc/shares.subclient", text, def).IsSuccess());
    EXPECT_EQ(def.id, 17u);
    EXPECT_EQ(def.name, "shares");  // from the file name
    EXPECT_EQ(ZYSubclientDefinition::Texts(def.content), (std::vector<std::string>{"/srv/data", "/home"}));
    EXPECT_EQ(def.content[1].line, 5u);
    EXPECT_EQ(ZYSubclientDefinition::Texts(def.filters), (std::vector<std::string>{"/srv/data/cache", "*.tmp"}));
    EXPECT_EQ(ZYSubclientDefinition::Texts(def.exceptions), (std::vector<std::string>{"/srv/data/cache/keep"}));
    EXPECT_EQ(def.readers, 3);
    ASSERT_EQ(def.fileTypes.size(), 2u);
    EXPECT_EQ(def.fileTypes[0].first, "Images");
    EXPECT_EQ(def.fileTypes[0].second, (std::vector<std::string>{"*.jpg", "*.png"}));
    EXPECT_EQ(def.fileTypes[1].second, (std::vector<std::string>{"*.txt"}));
    EXPECT_EQ(ZYSubclientDefinition::Texts(def.added), (std::vector<std::string>{"/srv/data/new # not a comment"}));
    EXPECT_EQ(def.lastBackupTime, 1717000000);

    ASSERT_TRUE(ZYSubclientFile::Parse("x.subclient", "name = other\ncontent = /\nreaders = auto\n", def).IsSuccess());
    EXPECT_EQ(def.name, "other");
    EXPECT_EQ(def.id, 1u);
    EXPECT_EQ(def.readers, 0);
}

TEST(SubclientFile, ErrorsNameTheFileAndTheLine) {
    const struct {
        const char* text;
        const char* message;
    } bad[] = {
        {"content = /a\ncolour = red\n", "line 2: unknown key \"colour\""},
        {"content = /a\n\njust words\n", "line 3: expected \"key = value\""},
        {"id = 1\ncontent = /a\nid = 2\n", "line 3: \"id\" given again (first on line 1)"},
        {"content =\n", "line 1: \"content\" has no value"},
        {"content = relative/path\n", "line 1: content path \"relative/path\" is not absolute"},
        {"content = /a\nfilter = /a/[x\n", "line 2: Cannot parse filter, Filter=[/a/[x]: unclosed ["},
        {"content = /a\nexception = rel/x\n", "line 2: Cannot parse filter"},
        {"content = /a\nreaders = 0\n", "line 2: readers must be"},
        {"content = /a\nreaders = many\n", "line 2: readers must be"},
        {"id = 4294967296\n", "line 1: id must be"},
        {"id = 0\n", "line 1: id must be"},
        {"content = /a\nfiletype = *.jpg\n", "line 2: filetype must be"},
        {"content = /a\nfiletype = Images:\n", "line 2: filetype \"Images\" has no pattern"},
        {"id = 3\n# nothing else\n", "line 2: no \"content\" line"},
        {"content = /a\nlast-backup = -5\n", "line 2: last-backup must be"},
    };
    for (const auto& b : bad) {
        ZYSubclientDefinition def;
        def.name = "untouched";
        CKoError e = ZYSubclientFile::Parse("/etc/sc/x.subclient", b.text, def);
        ASSERT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_INVALID_DATA)) << b.text;
        EXPECT_NE(e.GetMessage().find("Subclient file [/etc/sc/x.subclient]"), std::string::npos) << e.GetMessage();
        EXPECT_NE(e.GetMessage().find(b.message), std::string::npos) << e.GetMessage();
        EXPECT_EQ(def.name, "untouched");
    }
    ZYSubclientDefinition def;
    for (const char* empty : {"", "\n\n", "# only a comment\n   \n"}) {
        CKoError e = ZYSubclientFile::Parse("e.subclient", empty, def);
        EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_EMPTY)) << e.AsString();
        EXPECT_NE(e.GetMessage().find("[e.subclient] is empty"), std::string::npos);
    }
    EXPECT_TRUE(ZYSubclientFile::Parse("n.subclient", std::string("content = /a\0b\n", 15), def).IsError());
}

TEST(SubclientFile, LoadChecksTheFileAndItsContent) {
    testsupport::ScopedTempDir dir;
    const std::string file = dir / "sc.subclient";
    ZYSubclientDefinition def;
    CKoError e = ZYSubclientFile::Load(file, def);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_FILE_NOT_FOUND));
    EXPECT_NE(e.GetMessage().find(file), std::string::npos);

    testsupport::WriteFile(file, "content = " + dir.Path() + "\ncontent = " + dir.Path() + "/missing\n");
    e = ZYSubclientFile::Load(file, def);
    ASSERT_TRUE(e.IsError());
    EXPECT_NE(e.GetMessage().find("line 2: content path \"" + dir.Path() + "/missing\" does not exist"),
              std::string::npos)
        << e.GetMessage();
    ASSERT_TRUE(ZYSubclientFile::Load(file, def, false).IsSuccess());
    EXPECT_EQ(def.name, "sc");

    testsupport::WriteFile(file, "");
    EXPECT_TRUE(FXErrorUtil::IsWin32(ZYSubclientFile::Load(file, def), ZyWin32::ERROR_EMPTY));
    // A folder where the file should be cannot be read.
    EXPECT_TRUE(ZYSubclientFile::Load(dir.Path(), def).IsError());
}

}  // namespace
