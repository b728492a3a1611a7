#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "agent/Item.h"
#include "support/TestSupport.h"

namespace {

TEST(Item, PathNameAndParent) {
    CItem item;
    item.SetPath("/a/b/c//");
    EXPECT_EQ(item.GetPath(), "/a/b/c");
    EXPECT_EQ(item.GetName(), "c");
    EXPECT_EQ(item.GetParentPath(), "/a/b");

    item.SetName("longer name");
    EXPECT_EQ(item.GetPath(), "/a/b/longer name");
    item.SetName("x");
    EXPECT_EQ(item.GetPath(), "/a/b/x");
    EXPECT_EQ(item.GetParentPath(), "/a/b");

    item.SetPath("/top");
    EXPECT_EQ(item.GetParentPath(), "/");
    EXPECT_EQ(item.GetName(), "top");
    item.SetPath("/");
    EXPECT_EQ(item.GetPath(), "/");
    EXPECT_EQ(item.GetName(), "");
    EXPECT_EQ(item.GetParentPath(), "");
    item.SetName("etc");
    EXPECT_EQ(item.GetPath(), "/etc");
    item.SetPath("relative");
    EXPECT_EQ(item.GetName(), "relative");
    EXPECT_EQ(item.GetParentPath(), "");

    item.SetParentAndName("/", "f");
    EXPECT_EQ(item.GetPath(), "/f");
    item.SetParentAndName("/d/", "f");
    EXPECT_EQ(item.GetPath(), "/d/f");
    item.SetParentAndName("/d", "f");
    EXPECT_EQ(item.GetPath(), "/d/f");
    EXPECT_EQ(item.GetParentPath(), "/d");
    item.SetParentAndName("", "f");
    EXPECT_EQ(item.GetPath(), "f");
}

TEST(Item, PropertiesAreTypedAndCopiedDeeply) {
    CItem item;
    EXPECT_FALSE(item.HasProperties());
    EXPECT_EQ(item.FindProperty("DELETED"), nullptr);
    EXPECT_FALSE(item.GetBoolProperty("DELETED"));
    EXPECT_TRUE(item.GetBoolProperty("DELETED", true));

    item.SetProperty("DELETED", true);
    item.SetProperty("PREV_PATH", std::string("/a/old"));
    item.SetProperty("ExtentBackupFileExtentSize", 4096LL);
    item.SetProperty("DELETED", false);  // replaces, does not add
    EXPECT_TRUE(item.HasProperties());
    EXPECT_FALSE(item.GetBoolProperty("DELETED", true));
    ASSERT_NE(item.GetProperty<std::string>("PREV_PATH"), nullptr);
    EXPECT_EQ(*item.GetProperty<std::string>("PREV_PATH"), "/a/old");
    EXPECT_EQ(*item.GetProperty<long long>("ExtentBackupFileExtentSize"), 4096);
    EXPECT_EQ(item.GetProperty<bool>("PREV_PATH"), nullptr);  // wrong type

    CItem copy = item;
    copy.SetProperty("PREV_PATH", std::string("/changed"));
    EXPECT_TRUE(copy.RemoveProperty("DELETED"));
    EXPECT_FALSE(copy.RemoveProperty("DELETED"));
    EXPECT_EQ(*item.GetProperty<std::string>("PREV_PATH"), "/a/old");
    EXPECT_NE(item.FindProperty("DELETED"), nullptr);

    CItem plain;
    copy = plain;  // assigning an item without properties empties the bag
    EXPECT_FALSE(copy.HasProperties());
}

TEST(Item, RecycleReusesOnlyWhatNobodyElseHolds) {
    std::shared_ptr<CItem> slot;
    CItem& first = CItem::Recycle(slot);
    first.SetPath("/some/rather/long/folder/path/that/needs/the/heap/file.txt");
    first.SetProperty("DELETED", true);
    first.Stat().size = 10;
    const char* buffer = first.GetPath().data();
    CItem* object = slot.get();

    // Sole owner: same object, emptied, buffers kept.
    CItem& second = CItem::Recycle(slot);
    EXPECT_EQ(&second, object);
    EXPECT_EQ(second.GetPath(), "");
    EXPECT_FALSE(second.HasProperties());
    EXPECT_EQ(second.Stat().size, 0);
    second.SetPath("/some/rather/long/folder/path/other.txt");
    EXPECT_EQ(second.GetPath().data(), buffer);

    // A consumer kept it: the kept item stays as it was and the slot gets a new object.
    std::shared_ptr<CItem> kept = slot;
    CItem& third = CItem::Recycle(slot);
    EXPECT_NE(&third, object);
    EXPECT_EQ(kept->GetPath(), "/some/rather/long/folder/path/other.txt");
}

TEST(Item, StatFieldsAndTypeFromTheFileSystem) {
    testsupport::ScopedTempDir dir;
    testsupport::WriteFile(dir / "f", "12345");
    ASSERT_EQ(::symlink("f", (dir / "l").c_str()), 0);
    struct stat st;
    CItem item;

    ASSERT_EQ(::lstat((dir / "f").c_str(), &st), 0);
    item.SetStat(st);
    EXPECT_TRUE(item.IsFile());
    EXPECT_EQ(item.Stat().size, 5);
    EXPECT_EQ(item.Stat().ino, st.st_ino);
    EXPECT_EQ(item.Stat().mtime.tv_nsec, st.st_mtim.tv_nsec);
    EXPECT_EQ(item.Stat().ctime.tv_sec, st.st_ctim.tv_sec);

    ASSERT_EQ(::lstat((dir / "l").c_str(), &st), 0);
    item.SetStat(st);
    EXPECT_TRUE(item.IsSymLink());
    ASSERT_EQ(::lstat(dir.Path().c_str(), &st), 0);
    item.SetStat(st);
    EXPECT_TRUE(item.IsFolder());
    ASSERT_EQ(::lstat("/dev/null", &st), 0);
    item.SetStat(st);
    EXPECT_EQ(item.GetType(), EItemType::Other);
}

TEST(ItemConsumer, DefaultCountsAndKeepsItsId) {
    CItemConsumer consumer(-7);
    EXPECT_EQ(consumer.GetId(), -7);
    auto item = std::make_shared<CItem>();
    EXPECT_TRUE(consumer.Process(item).IsSuccess());
    EXPECT_TRUE(consumer.Process(item).IsSuccess());
    EXPECT_EQ(consumer.getProcessedItemsCount(), 2);
}

}  // namespace
