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
    EXPECT_EQ(item.GetParentPath(), "/a/b");
    item.SetName("longer name");
    item.SetName("x");  // a shorter name after a longer one leaves nothing behind
    EXPECT_EQ(item.GetPath(), "/a/b/x");

    item.SetPath("/");
    EXPECT_EQ(item.GetName(), "");
    EXPECT_EQ(item.GetParentPath(), "");
    item.SetName("etc");
    EXPECT_EQ(item.GetPath(), "/etc");
    EXPECT_EQ(item.GetParentPath(), "/");

    item.SetParentAndName("/", "f");
    EXPECT_EQ(item.GetPath(), "/f");
    item.SetParentAndName("/d", "f");
    EXPECT_EQ(item.GetPath(), "/d/f");
    EXPECT_EQ(item.GetName(), "f");
    item.SetParentAndName("", "f");
    EXPECT_EQ(item.GetPath(), "f");
    EXPECT_EQ(item.GetParentPath(), "");
}

TEST(Item, PropertiesAreTypedAndCopiedDeeply) {
    CItem item;
    EXPECT_FALSE(item.HasProperties());
    EXPECT_TRUE(item.GetBoolProperty("DELETED", true));

    item.SetProperty("DELETED", true);
    item.SetProperty("PREV_PATH", std::string("/a/old"));
    item.SetProperty("DELETED", false);  // replaces, does not add
    EXPECT_FALSE(item.GetBoolProperty("DELETED", true));
    EXPECT_EQ(*item.GetProperty<std::string>("PREV_PATH"), "/a/old");
    EXPECT_EQ(item.GetProperty<bool>("PREV_PATH"), nullptr);  // wrong type

    CItem copy = item;
    copy.SetProperty("PREV_PATH", std::string("/changed"));
    EXPECT_TRUE(copy.RemoveProperty("DELETED"));
    EXPECT_EQ(*item.GetProperty<std::string>("PREV_PATH"), "/a/old");
    EXPECT_NE(item.FindProperty("DELETED"), nullptr);
    const CItem plain;
    copy = plain;  // an item without properties empties the bag
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
    EXPECT_EQ(item.Stat().mtime.tv_nsec, st.st_mtim.tv_nsec);
    ASSERT_EQ(::lstat((dir / "l").c_str(), &st), 0);
    item.SetStat(st);
    EXPECT_TRUE(item.IsSymLink());
}

}  // namespace
