#include <gtest/gtest.h>

#include "scan/content/ProxyContentMapper.h"
#include "scan/dirchange/SymLinkDirChange.h"
#include "support/TestSupport.h"

namespace {

using testsupport::ScopedTempDir;
using testsupport::WriteFile;
using Flags = BDirChangeItemFlags;

bool Has(SymLinkDirChange& dc, const std::string& path, bool previous) {
    bool found = false;
    CKoError e = dc.LookupFile(path, previous, found);
    EXPECT_TRUE(e.IsSuccess()) << e.AsString();
    return found;
}

TEST(SymLinkDirChange, FoldersKeepSegmentsOfTheFileAndNamesAreReadBack) {
    ScopedTempDir dir;
    // /a has two blocks; the second line is the version line; CR before LF is cut.
    WriteFile(dir / "dc", "Version2\n/a\n\tx\r\n/b/\n\ty\nUNC-NT_srv/share\n\ts\n/a\n\tz\n");
    SymLinkDirChange dc;
    ASSERT_TRUE(dc.LoadFile(dir / "dc", nullptr).IsSuccess());
    EXPECT_TRUE(dc.IsPreviousDirChangeLoaded());
    EXPECT_EQ(dc.GetLoadReport().folders, 4u);
    EXPECT_EQ(dc.GetLoadReport().files, 4u);
    PathCacheNode* a = dc.FindFolder("/a");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->GetPreviousRegistry().GetSegments().size(), 2u);
    EXPECT_TRUE(a->GetCurrentRegistry().IsEmpty());

    EXPECT_TRUE(Has(dc, "/a/x", true));
    EXPECT_TRUE(Has(dc, "/a/z", true));
    EXPECT_FALSE(Has(dc, "/a/y", true));
    EXPECT_TRUE(Has(dc, "/b/y", true));
    EXPECT_TRUE(Has(dc, "//srv/share/s", true));
    EXPECT_FALSE(Has(dc, "/nope/y", true));

    EXPECT_TRUE(dc.IsItemInPreviousJob("/a/x", Flags::PD_FILE));
    EXPECT_FALSE(dc.IsItemInPreviousJob("/a/q", Flags::PD_FILE));
    EXPECT_TRUE(dc.IsItemInPreviousJob("/b", Flags::PREVIOUSDIRCHANGE));
    EXPECT_FALSE(dc.IsItemInPreviousJob("/c", Flags::PREVIOUSDIRCHANGE));
    EXPECT_FALSE(dc.IsItemInCurrentDirChange("/a", Flags::CURRENTDIRCHANGE));
}

TEST(SymLinkDirChange, FoldersMapThroughTheContentMapper) {
    ScopedTempDir dir;
    WriteFile(dir / "dc", "/data/a\n\tx\n");
    CContentMapper mapper;
    mapper.SetSourceToLocalMap({{"/data/", "/snap/"}});
    SymLinkDirChange dc;
    ASSERT_TRUE(dc.LoadFile(dir / "dc", &mapper).IsSuccess());
    EXPECT_TRUE(dc.IsItemInPreviousJob("/snap/a/x", Flags::PD_FILE));
    EXPECT_FALSE(dc.IsItemInPreviousJob("/data/a/x", Flags::PD_FILE));
}

TEST(SymLinkDirChange, PackingMergesTouchingSegments) {
    FileRegistry registry;
    registry.startSegment(0);
    registry.closeSegment(10);
    registry.startSegment(30);
    registry.closeSegment(40);
    registry.startSegment(10);
    registry.closeSegment(20);
    registry.pack();
    EXPECT_EQ(registry.GetSegments(), (std::vector<FileRegistry::Segment>{{0, 20}, {30, 40}}));
    // Every 1,024 new segments the list packs itself.
    FileRegistry many;
    for (int i = 0; i <= 1025; ++i) {
        many.startSegment(i * 5);
        many.closeSegment(i * 5 + 5);
    }
    // Packed at the 1,025th segment; the 1,026th came after.
    EXPECT_EQ(many.GetSegments().size(), 2u);
    many.pack();
    EXPECT_EQ(many.GetSegments(), (std::vector<FileRegistry::Segment>{{0, 5130}}));
}

TEST(SymLinkDirChange, OneFolderIsCachedAtATime) {
    ScopedTempDir dir;
    WriteFile(dir / "dc", "/a\n\tx\n/b\n\ty\n");
    SymLinkDirChange dc;
    ASSERT_TRUE(dc.LoadFile(dir / "dc", nullptr).IsSuccess());
    FileRegistry::clearCache();
    const uint64_t before = FileRegistry::GetCacheLoadCount();
    EXPECT_TRUE(dc.IsItemInPreviousJob("/a/x", Flags::PD_FILE));
    EXPECT_FALSE(dc.IsItemInPreviousJob("/a/q", Flags::PD_FILE));  // still /a: no load
    EXPECT_EQ(FileRegistry::GetCacheLoadCount() - before, 1u);
    EXPECT_TRUE(dc.IsItemInPreviousJob("/b/y", Flags::PD_FILE));
    EXPECT_TRUE(dc.IsItemInPreviousJob("/a/x", Flags::PD_FILE));
    EXPECT_TRUE(dc.IsItemInPreviousJob("/b/y", Flags::PD_FILE));
    EXPECT_EQ(FileRegistry::GetCacheLoadCount() - before, 4u);
}

TEST(SymLinkDirChange, AnUnreadableRegistryCountsItsFilesAsPresent) {
    ScopedTempDir dir;
    WriteFile(dir / "dc", "/a\n\tx\n");
    WriteFile(dir / "other", "/abc\n\tx\n");
    SymLinkDirChange dc;
    ASSERT_TRUE(dc.LoadFile(dir / "dc", nullptr).IsSuccess());
    // The loaded file stays open: removing its name changes nothing.
    ASSERT_EQ(std::remove((dir / "dc").c_str()), 0);
    EXPECT_FALSE(dc.IsItemInPreviousJob("/a/y", Flags::PD_FILE));
    // A file that cannot be opened: the item counts as present, after saying why.
    FileRegistry::clearCache();
    dc.setPDFInfo(std::make_shared<SymLinkItemInfo>(0, dir / "gone"));
    testsupport::ScopedLogCapture log(-1);
    EXPECT_TRUE(dc.IsItemInPreviousJob("/a/anything", Flags::PD_FILE));
    EXPECT_TRUE(log.Log().Contains("Unable load file list from DC:" + dir / "gone"));
    // The scan's own look-up says it could not tell.
    bool found = true;
    EXPECT_TRUE(dc.LookupFile("/a/anything", true, found).IsError());
    // Another file: a segment that does not start a line there is refused.
    dc.setPDFInfo(std::make_shared<SymLinkItemInfo>(0, dir / "other"));
    EXPECT_TRUE(dc.LookupFile("/a/x", true, found).IsError());
}

TEST(SymLinkDirChange, CurrentItemsAndTheirFlags) {
    ScopedTempDir dir;
    WriteFile(dir / "cur", "/a/b/c\n\tf\n");
    SymLinkDirChange dc;
    dc.setCDFInfo(std::make_shared<SymLinkItemInfo>(0, dir / "cur"));
    EXPECT_TRUE(FXErrorUtil::IsErrNo(dc.AddItem("/a/b/c", Flags(Flags::CURRENTDIRCHANGE), "", nullptr), 22));
    ASSERT_TRUE(dc.AddItem("/a/b/c", Flags(Flags::CURRENTDIRCHANGE), "", std::make_shared<SymLinkItemInfo>(7, dir / "cur", 0))
                    .IsSuccess());
    const Flags file = Flags(Flags::CURRENTDIRCHANGE) | Flags(Flags::CD_FILE) | Flags(Flags::CURRENTCOLLECT) | Flags(Flags::CC_FILE);
    ASSERT_TRUE(dc.AddItem("/a/b/c/f", file, "", std::make_shared<SymLinkItemInfo>(10, dir / "cur", 7)).IsSuccess());
    dc.CloseOpenSegment(10);
    ASSERT_TRUE(dc.IdentifyIntermediateNodes().IsSuccess());

    EXPECT_TRUE(dc.IsItemInCurrentDirChange("/a/b/c/f", Flags::CD_FILE));
    EXPECT_FALSE(dc.IsItemInCurrentDirChange("/a/b/c/g", Flags::CD_FILE));
    EXPECT_TRUE(dc.IsItemInCurrentDirChange("/a/b/c", Flags::CURRENTDIRCHANGE));
    Flags flags;
    EXPECT_TRUE(dc.IsItemInCurrentDirChange("/a/b", flags, Flags::CURRENTDIRCHANGE));
    EXPECT_TRUE(flags.IsSet(Flags::CD_INTERMEDIATE));
    EXPECT_TRUE(dc.IsItemInCurrentCollect("/a", flags, Flags::CURRENTCOLLECT));
    EXPECT_TRUE(flags.IsSet(Flags::CC_INTERMEDIATE));
    // A collect question about a file name is not supported: it counts as present.
    testsupport::ScopedLogCapture log(0);
    EXPECT_TRUE(dc.IsItemInCurrentCollect("/a/b/c/anything", Flags::CC_FILE));
    EXPECT_FALSE(dc.IsWritten("/a/b/c", Flags::COLLECT_WRITTEN));
    ASSERT_TRUE(dc.SetWritten("/a/b/c", Flags::COLLECT_WRITTEN).IsSuccess());
    EXPECT_TRUE(dc.IsWritten("/a/b/c", Flags::COLLECT_WRITTEN));
}

}  // namespace
