#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "core/FaultInjectionEnv.h"
#include "scan/dirchange/OutputCache.h"
#include "scan/dirchange/XDirChange.h"
#include "support/TestSupport.h"

namespace {

using testsupport::ScopedLogCapture;
using testsupport::ScopedSettings;
using testsupport::ScopedTempDir;
using testsupport::WriteFile;

// Lines of an output file with the offsets where each begins.
struct Lines {
    std::string text;
    std::vector<uint64_t> starts;
    void Add(const std::string& line) {
        starts.push_back(text.size());
        text += line + "\n";
    }
    uint64_t End(size_t i) const { return i + 1 < starts.size() ? starts[i + 1] : text.size(); }
};

TEST(OutputCache, FolderModeKnowsFoldersOnly) {
    ScopedSettings settings;
    auto cache = OutputCache::newOutputCache(OUTPUT_CACHE_FOLDERS);
    {
        ScopedLogCapture log;
        EXPECT_EQ(cache->registerFile(-2, "x"), -1);
        EXPECT_TRUE(log.Log().Contains("fileID must be >= -1"));
    }
    EXPECT_EQ(cache->registerFile(-1, "dc"), 0);
    EXPECT_EQ(cache->addObject(1, "/a/b", true, 0, 10), 0);
    EXPECT_EQ(cache->addObject(1, "/a/b/file", false, 10, 20), 0);  // not kept in this mode
    EXPECT_TRUE(cache->isInCache(1, "/a/b", true, nullptr));
    EXPECT_FALSE(cache->isInCache(1, "/a", true, nullptr));
    EXPECT_FALSE(cache->isInCache(2, "/a/b", true, nullptr));
    // A file is answered for by its folder.
    EXPECT_TRUE(cache->isInCache(1, "/a/b/anything", false, nullptr));
    EXPECT_FALSE(cache->isInCache(1, "/a/c/anything", false, nullptr));
}

TEST(OutputCache, CollectFileRangesAreReadBack) {
    ScopedTempDir dir;
    for (bool cacheNames : {true, false}) {
        ScopedSettings settings;
        settings.Set("FileSystemAgent", "nCacheNames", cacheNames ? "1" : "0");
        Lines collect;
        collect.Add("?\?\?/a/");
        collect.Add("*?\?/a/f1|<X>1");
        collect.Add("*?\?/a/other|<X>1");
        collect.Add("*?\?/b/f1");
        collect.Add("*?\?/a/f2\r");
        const std::string name = dir / "collect";
        WriteFile(name, collect.text);

        ScopedLogCapture log;
        auto cache = OutputCache::newOutputCache(OUTPUT_CACHE_FOLDERS_AND_FILES);
        ASSERT_EQ(cache->registerFile(3, name), 0);
        EXPECT_TRUE(log.Log().Contains(std::string("DirChangeCahce: name caching is ") + (cacheNames ? "enabled" : "disabled")));
        cache->addObject(3, "/a", true, collect.starts[0], collect.End(0));
        cache->addObject(3, "/a/f1", false, collect.starts[1], collect.End(1));
        cache->addObject(3, "/a/other", false, collect.starts[2], collect.End(2));
        cache->addObject(3, "/a/f2", false, collect.starts[4], collect.End(4));

        uint64_t offset = 0;
        EXPECT_TRUE(cache->isInCache(3, "/a/f2", false, &offset));
        EXPECT_EQ(offset, collect.starts[4]);
        EXPECT_TRUE(cache->isInCache(3, "/a/f1", false, &offset));
        EXPECT_EQ(offset, collect.starts[1]);
        // /b/f1 lies outside the ranges of /a, and /b has none.
        EXPECT_FALSE(cache->isInCache(3, "/a/missing", false, nullptr));
        EXPECT_FALSE(cache->isInCache(3, "/b/f1", false, nullptr));
        EXPECT_TRUE(cache->isInCache(3, "/a", true, nullptr));

        // Names already read need no file; without the name cache the file is needed.
        std::remove(name.c_str());
        EXPECT_EQ(cache->isInCache(3, "/a/other", false, nullptr), cacheNames);
        EXPECT_EQ(log.Log().Contains("can't open input file '" + name + "' to search for 'other' (errno:2)"), !cacheNames);
        // The errno logged is the open's, whatever ran after it.
        WriteFile(name, collect.text);
        FXFaultInjectionEnv env;
        FXScopedEnv scoped(&env);
        env.FailNth(EFaultOp::Open, 1, EACCES);
        EXPECT_FALSE(cache->isInCache(3, "/a/missing", false, nullptr));
        EXPECT_TRUE(log.Log().Contains("can't open input file '" + name + "' to search for 'missing' (errno:13)"));
    }
}

TEST(OutputCache, DirChangeFileBlocksEndAtTheNextFolder) {
    ScopedTempDir dir;
    ScopedSettings settings;
    const std::string text = "/a/\n\tf1\n\tf2\n/b/\n\tg\n";
    WriteFile(dir / "dc", text);
    auto cache = OutputCache::newOutputCache(OUTPUT_CACHE_FOLDERS_AND_FILES);
    cache->registerFile(0, dir / "dc");
    // One range from the folder line to the end of the file: it is read up to the next folder.
    cache->addObject(0, "/a", true, 0, text.size());
    uint64_t offset = 0;
    EXPECT_TRUE(cache->isInCache(0, "/a/f2", false, &offset));
    EXPECT_EQ(offset, 8u);
    EXPECT_FALSE(cache->isInCache(0, "/a/g", false, nullptr));

    ScopedLogCapture log;
    cache->dump(0);
    EXPECT_TRUE(log.Log().Contains("DUMP for file id 0"));
    EXPECT_TRUE(log.Log().Contains("a as directory [0-" + std::to_string(text.size()) + "]"));
    EXPECT_TRUE(log.Log().Contains("file:0: 1 items"));
}

TEST(OutputCache, RangesArePackedAfterManyAdditions) {
    PathInfo info;
    for (uint64_t i = PathInfo::kPackAfter + 1; i-- > 1;) info.AddRange(i * 10, i * 10 + 10);
    EXPECT_FALSE(info.packed);
    EXPECT_EQ(info.ranges.size(), PathInfo::kPackAfter);
    info.AddRange(0, 5);  // not adjacent to 10
    ASSERT_TRUE(info.packed);
    EXPECT_EQ(info.RangesAsString(), "0-5,10-" + std::to_string(PathInfo::kPackAfter * 10 + 10));
    EXPECT_EQ(info.packedCount, 2u);
}

TEST(XDirChange, AttributesOfTheRenameRecord) {
    XDirChange empty;
    EXPECT_FALSE(empty.Exists());
    EXPECT_EQ(empty.get_TempFileName(), "");
    EXPECT_TRUE(empty.Set_TempFileName("x").IsError());

    XDirChange record;
    ASSERT_TRUE(XDirChange::Create(record).IsSuccess());
    ASSERT_TRUE(record.Exists());
    EXPECT_EQ(record.GetNode()->GetName(), "DirChange");
    ASSERT_TRUE(record.Set_SubclientFolder("/jr/sc").IsSuccess());
    ASSERT_TRUE(record.Set_TempFileName("DirChange_tmp.zyf").IsSuccess());
    ASSERT_TRUE(record.Set_FinalFileName("DirChange.zyf").IsSuccess());

    XDirChange read(record.GetNode());
    EXPECT_EQ(read.get_SubclientFolder(), "/jr/sc");
    EXPECT_EQ(read.get_TempFileName(), "DirChange_tmp.zyf");
    EXPECT_EQ(read.get_FinalFileName(), "DirChange.zyf");
    ASSERT_TRUE(read.Remove_TempFileName().IsSuccess());
    EXPECT_EQ(read.get_TempFileName(), "");
    EXPECT_TRUE(read.Remove_TempFileName().IsSuccess());
    EXPECT_EQ(read.get_FinalFileName(), "DirChange.zyf");
}

}  // namespace
