#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "core/KoError.h"
#include "scan/job/BackupMetadataStore.h"
#include "support/TestSupport.h"

using testsupport::ScopedTempDir;
using testsupport::WriteFile;

namespace {

SItemMetadata Meta(uint32_t mode, std::string security = std::string()) {
    SItemMetadata m;
    m.mode = mode;
    m.uid = 1000 + mode;
    m.gid = 2000;
    m.atimeNs = -1;  // before 1970 survives
    m.mtimeNs = 1700000000123456789;
    m.security = std::move(security);
    return m;
}

bool Has(CBackupMetadataStore& store, const std::string& path) {
    SItemMetadata m;
    bool found = false;
    EXPECT_TRUE(store.Get(path, m, found).IsSuccess());
    return found;
}

TEST(BackupMetadataStoreTest, KeepsReplacesAndRemovesByWholeComponents) {
    ScopedTempDir dir;
    CBackupMetadataStore store;
    ASSERT_TRUE(store.Open(dir.Path(), true).IsSuccess());
    const std::string binary("\0\x01\xff network buffer", 18);
    for (const char* path : {"/a", "/a/b", "/a/b/c", "/ab", "/a0", "/a-b", "/b"})
        ASSERT_TRUE(store.Put(path, Meta(0100644, binary)).IsSuccess());
    ASSERT_TRUE(store.Put("/a/b", Meta(040755)).IsSuccess());  // backed up again: replaced

    SItemMetadata m;
    bool found = false;
    ASSERT_TRUE(store.Get("/a/b", m, found).IsSuccess());
    ASSERT_TRUE(found);
    EXPECT_EQ(m.mode, 040755u);
    EXPECT_TRUE(m.security.empty());
    ASSERT_TRUE(store.Get("/a/b/c", m, found).IsSuccess());
    EXPECT_EQ(m.security, binary);
    EXPECT_EQ(m.atimeNs, -1);
    EXPECT_EQ(m.mtimeNs, 1700000000123456789);
    EXPECT_EQ(m.uid, 1000u + 0100644u);

    // "/a" and what lies below it go; "/ab", "/a0", "/a-b" are other items.
    ASSERT_TRUE(store.RemoveTree("/a").IsSuccess());
    EXPECT_FALSE(Has(store, "/a"));
    EXPECT_FALSE(Has(store, "/a/b/c"));
    EXPECT_TRUE(Has(store, "/ab"));
    EXPECT_TRUE(Has(store, "/a0"));
    EXPECT_TRUE(Has(store, "/a-b"));
    ASSERT_TRUE(store.Close().IsSuccess());

    CBackupMetadataStore reader;
    ASSERT_TRUE(reader.Open(dir.Path(), false).IsSuccess());
    EXPECT_TRUE(Has(reader, "/b"));
    EXPECT_TRUE(reader.Put("/c", Meta(0100600)).IsError()) << "a reading store writes nothing";
}

TEST(BackupMetadataStoreTest, WhatWasNotCommittedIsLostAndForeignFilesAreRefused) {
    ScopedTempDir dir;
    {
        CBackupMetadataStore store;
        ASSERT_TRUE(store.Open(dir.Path(), true).IsSuccess());
        ASSERT_TRUE(store.Put("/committed", Meta(0100644)).IsSuccess());
        ASSERT_TRUE(store.Commit().IsSuccess());
        ASSERT_TRUE(store.Put("/pending", Meta(0100644)).IsSuccess());
        // A second connection sees only what was committed (as a restarted backup would).
        CBackupMetadataStore other;
        ASSERT_TRUE(other.Open(dir.Path(), false).IsSuccess());
        EXPECT_TRUE(Has(other, "/committed"));
        EXPECT_FALSE(Has(other, "/pending"));
    }
    ScopedTempDir empty;
    CBackupMetadataStore none;
    EXPECT_TRUE(FXErrorUtil::IsWin32(none.Open(empty.Path(), false), ZyWin32::ERROR_FILE_NOT_FOUND));

    ScopedTempDir foreign;
    WriteFile(foreign / CBackupMetadataStore::kFileName, "not a database at all, but long enough to look like one.....");
    CBackupMetadataStore bad;
    EXPECT_TRUE(bad.Open(foreign.Path(), true).IsError());
    EXPECT_FALSE(bad.IsOpen());
}

TEST(BackupMetadataStoreTest, ReaderThreadsShareOneStore) {
    ScopedTempDir dir;
    CBackupMetadataStore store;
    ASSERT_TRUE(store.Open(dir.Path(), true).IsSuccess());
    constexpr int kThreads = 4, kItems = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&store, t] {
            for (int i = 0; i < kItems; ++i) {
                const std::string path = "/t" + std::to_string(t) + "/f" + std::to_string(i);
                EXPECT_TRUE(store.Put(path, Meta(0100644, path)).IsSuccess());
                if (i % 100 == 99) {
                    EXPECT_TRUE(store.Commit().IsSuccess());
                }
                if (i % 50 == 49) {
                    EXPECT_TRUE(store.RemoveTree("/t" + std::to_string(t) + "/f" + std::to_string(i - 1)).IsSuccess());
                }
            }
        });
    }
    for (std::thread& t : threads) t.join();
    ASSERT_TRUE(store.Close().IsSuccess());
    CBackupMetadataStore reader;
    ASSERT_TRUE(reader.Open(dir.Path(), false).IsSuccess());
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kItems; ++i) {
            const std::string path = "/t" + std::to_string(t) + "/f" + std::to_string(i);
            SItemMetadata m;
            bool found = false;
            ASSERT_TRUE(reader.Get(path, m, found).IsSuccess());
            EXPECT_EQ(found, i % 50 != 48) << path;
            if (found) {
                EXPECT_EQ(m.security, path);
            }
        }
    }
}

}  // namespace
