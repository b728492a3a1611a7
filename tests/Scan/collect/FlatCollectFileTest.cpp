#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "agent/RecordingEventMessenger.h"
#include "scan/collect/FlatCollectFile.h"
#include "scan/Unix/CollectFileEncode.h"
#include "scan/collect/FlatCollectFileWithAncestors.h"
#include "scan/collect/FlatCollectLine.h"
#include "scan/collect/UnixFlatCollectFile.h"
#include "scan/collect/UnixThreadFlatCollectFile.h"
#include "scan/content/ProxyContentMapper.h"
#include "support/CountingFaultEnv.h"
#include "support/Lines.h"
#include "support/TestSupport.h"

namespace {

using testsupport::Lines;
using testsupport::ReadFile;
using testsupport::ScopedTempDir;
using testsupport::WriteFile;
using P = CUnixFlatCollectFile;

std::shared_ptr<CItem> MakeItem(const std::string& path, EItemType type, long long size) {
    auto item = std::make_shared<CItem>();
    item->SetPath(path);
    item->SetType(type);
    item->Stat().size = size;
    item->Stat().ctime.tv_sec = 300;
    item->Stat().atime.tv_sec = 200;
    item->Stat().mtime.tv_sec = 100;
    return item;
}
std::shared_ptr<CItem> File(const std::string& path, long long size = 10) { return MakeItem(path, EItemType::File, size); }
std::shared_ptr<CItem> Folder(const std::string& path) { return MakeItem(path, EItemType::Folder, 4096); }

TEST(FlatCollectFile, UnixLineForEveryKindOfItem) {
    struct Case {
        const char* what;
        std::shared_ptr<CItem> item;
        std::vector<std::pair<const char*, CItemPropertyValue>> properties;
        const char* expected;  // lines, each ended by "\n"
    } cases[] = {
        {"plain file", File("/a/b"), {}, "/a/b|10\n"},
        {"folder", Folder("/a/dir"), {}, "/a/dir/|4096\n"},
        {"root", Folder("/"), {}, "/|4096\n"},
        {"special bytes", File("/a/x|y%z\nw"), {}, "/a/x%7Cy%25z%0Aw|10\n"},
        {"deleted", File("/a/b"), {{P::kPropertyDeleted, true}}, "??d/a/b|10\n"},
        {"renamed", File("/a/new"), {{P::kPropertyPreviousPath, std::string("/a/old|1")}}, "/a/new|10\n??d/a/old%7C1|10\n"},
        {"ad-hoc wins over the rest", File("/a/b"),
         {{P::kPropertyAdHoc, true}, {P::kPropertyMigrationAssistant, true}}, "??OD/a/b|10\n"},
        {"migration assistant", File("/a/b"), {{P::kPropertyMigrationAssistant, true}, {P::kPropertyContentPush, true}},
         "??MA/a/b|10\n"},
        {"content push", File("/a/b"), {{P::kPropertyContentPush, true}}, "??CP/a/b|10\n"},
        {"raw device and AppleDouble", File("/dev/sdb", 7),
         {{P::kPropertyRawDevice, true}, {P::kPropertyAppleDouble, true}}, "///device/-/dev/sdb|7\n"},
        {"extent qualified, explicitly", File("/big", 5000),
         {{P::kPropertyExtentQualified, true}, {P::kPropertyExtentSize, 1024ULL}, {P::kPropertyExtentExplicit, true}},
         "%EXTENTQ%%ZYFLAGSEND%/big:300:200:100:5000:1024|5000\n"},
        {"extent, ACL only", File("/big", 5000),
         {{P::kPropertyExtentQualified, true}, {P::kPropertyExtentSize, 1024LL}, {P::kPropertyAclOnly, true}},
         "%CONTAINERACL%/big:300:200:100:5000:1024|5000\n"},
        {"extent, raw device size", File("/dev/sdc", 0),
         {{P::kPropertyExtentQualified, true}, {P::kPropertyExtentSize, 4096ULL}, {P::kPropertyExtentExplicit, true},
          {P::kPropertyRawDevice, true}, {P::kPropertyRawDeviceSize, 1ULL << 40}},
         "%EXTENTQ%///device/%ZYFLAGSEND%/dev/sdc:300:200:100:1099511627776:4096|0\n"},
        {"extent feature not explicit", File("/big", 5000),
         {{P::kPropertyExtentQualified, true}, {P::kPropertyExtentSize, 1024ULL}}, "/big|5000\n"},
        {"extent size 0", File("/big", 5000),
         {{P::kPropertyExtentQualified, true}, {P::kPropertyExtentSize, 0ULL}, {P::kPropertyExtentExplicit, true}},
         "/big|5000\n"},
    };
    ScopedTempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CUnixFlatCollectFile file(1, dir / "c.zyf", "");
        for (const auto& [name, value] : c.properties) c.item->SetProperty(name, value);
        ASSERT_TRUE(file.Process(c.item).IsSuccess());
        ASSERT_TRUE(file.Close().IsSuccess());
        const std::string text = ReadFile(dir / "c.zyf");
        EXPECT_EQ(text, c.expected);
        // The reader takes every line apart and puts it together the same.
        for (const std::string& line : Lines(text)) {
            SFlatCollectLine parsed;
            ASSERT_TRUE(CFlatCollectLine::Parse(line, parsed)) << line;
            std::string again;
            CFlatCollectLine::Format(parsed, again);
            EXPECT_EQ(again, line);
        }
        EXPECT_EQ(file.getProcessedItemsCount(), 1);
    }
}

TEST(FlatCollectFile, CountersAppendAndTranslatedPaths) {
    ScopedTempDir dir;
    CUnixFlatCollectFile file(3, dir / "c.zyf", "w");
    auto mapper = std::make_shared<CContentMapper>();
    mapper->SetSourceToLocalMap({{"/data", "/snap/data"}});
    file.SetContentMapper(mapper);
    auto gone = File("/snap/data/old", 30);
    gone->SetProperty(P::kPropertyDeleted, true);
    for (const auto& item : {Folder("/snap/data"), File("/snap/data/f", 10), gone, File("/elsewhere/g", 5)})
        ASSERT_TRUE(file.Process(item).IsSuccess());
    EXPECT_EQ(file.GetProcessedBytes(), 4096 + 10 + 5);  // deleted items bring no bytes
    EXPECT_EQ(file.GetProcessedFolderCount(), 1);
    EXPECT_EQ(file.tellp(), static_cast<long long>(std::string("/data/|4096\n/data/f|10\n??d/data/old|30\n/elsewhere/g|5\n").size()));
    ASSERT_TRUE(file.Close().IsSuccess());
    EXPECT_EQ(file.tellp(), 0);

    WriteFile(dir / "other", "x1\r\nx2\n\nx3");
    ASSERT_TRUE(file.Open("a").IsSuccess());  // appending keeps the counters
    EXPECT_EQ(file.GetProcessedFolderCount(), 1);
    ASSERT_TRUE(file.RawAppendFile(dir / "other").IsSuccess());
    ASSERT_TRUE(file.RawWriteItem("raw", 7).IsSuccess());
    ASSERT_TRUE(file.Close().IsSuccess());
    EXPECT_EQ(ReadFile(dir / "c.zyf"), "/data/|4096\n/data/f|10\n??d/data/old|30\n/elsewhere/g|5\nx1\nx2\n\nx3\nraw\n");
    EXPECT_EQ(file.GetProcessedBytes(), 4096 + 10 + 5 + 7);
    ASSERT_TRUE(file.Open("w").IsSuccess());  // a new file starts the counters again
    EXPECT_EQ(file.GetProcessedBytes(), 0);
    EXPECT_EQ(file.GetProcessedFolderCount(), 0);

    // The base class writes the bare source path.
    CFlatCollectFile plain(4, dir / "p.zyf", "w");
    plain.SetContentMapper(mapper);
    ASSERT_TRUE(plain.Process(File("/snap/data/a|b")).IsSuccess());
    ASSERT_TRUE(plain.Close().IsSuccess());
    EXPECT_EQ(ReadFile(dir / "p.zyf"), "/data/a|b\n");
}

TEST(FlatCollectFile, ClosedFilesAndFailedWritesAreErrorsWithEvents) {
    ScopedTempDir dir;
    CRecordingEventMessenger events;
    CScopedEventMessenger scoped(&events);

    testsupport::ScopedLogCapture log(0);
    CUnixFlatCollectFile missing(1, dir / "no/such/c.zyf", "w");
    EXPECT_TRUE(log.Log().Contains("Failed to open output file '" + dir / "no/such/c.zyf" + "'"));
    EXPECT_FALSE(missing.IsOpen());
    CKoError e = missing.Process(File("/a"));
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_INVALID_HANDLE)) << e.AsString();
    EXPECT_TRUE(FXErrorUtil::IsWin32(missing.RawWriteItem("x", 1), ZyWin32::ERROR_INVALID_HANDLE));
    EXPECT_EQ(events.Count(CFlatCollectFile::kEventWriteToClosedFile), 2u);
    e = missing.Open("w");
    EXPECT_NE(e.AsString().find("Failed to open output file '" + dir / "no/such/c.zyf" + "'"), std::string::npos);
    ASSERT_EQ(events.Count(CFlatCollectFile::kEventOpenFailed), 1u);
    EXPECT_EQ(events.Events().back().arguments, std::vector<std::string>{dir / "no/such/c.zyf"});
    EXPECT_TRUE(FXErrorUtil::IsWin32(missing.Open("r"), ZyWin32::ERROR_INVALID_PARAMETER));

    // A full disk: the buffered lines fail at the latest when the file is closed. The escaping
    // setting is read once per process through the seam: read it before the operations count.
    escapeFileName("/a");
    testsupport::CCountingFaultEnv env;
    FXScopedEnv scopedEnv(&env);
    env.FailAt(2, false);  // the open is operation 1, the first write operation 2
    CUnixFlatCollectFile full(2, dir / "full.zyf", "w");
    ASSERT_TRUE(full.IsOpen());
    ASSERT_TRUE(full.Process(File("/a")).IsSuccess());
    EXPECT_TRUE(FXErrorUtil::IsErrNo(full.Close(), ENOSPC));
}

TEST(FlatCollectFile, AncestorsOnceTopMostFirstIntoTheCoveringFile) {
    ScopedTempDir dir;
    auto whole = std::make_shared<CUnixFlatCollectFile>(1, dir / "all.zyf", "w");
    auto home = std::make_shared<CUnixFlatCollectFile>(2, dir / "home.zyf", "w");
    CFlatCollectFileWithAncestors ancestors(9);
    auto gone = File("/tmp/x/gone");
    gone->SetProperty(P::kPropertyDeleted, true);
    for (const auto& item : {File("/home/u/docs/a"), File("/home/u/docs/b"), Folder("/home/u/pics"),
                             File("/home/u/pics/p"), File("/var/log/syslog"), File("/top"), gone,
                             File("/home/v|w/f")})
        ASSERT_TRUE(ancestors.Process(item).IsSuccess());
    EXPECT_EQ(ancestors.getProcessedItemsCount(), 7);
    // The longest prefix wins; a prefix is a whole component ("/home" does not cover "/homeless").
    ASSERT_TRUE(ancestors.Close({{"/", whole}, {"/home", home}, {"/home/u/docs/a", whole}}).IsSuccess());
    ASSERT_TRUE(whole->Close().IsSuccess());
    ASSERT_TRUE(home->Close().IsSuccess());
    EXPECT_EQ(ReadFile(dir / "home.zyf"), "/home/|0\n/home/u/|0\n/home/u/docs/|0\n/home/v%7Cw/|0\n");
    EXPECT_EQ(ReadFile(dir / "all.zyf"), "/var/|0\n/var/log/|0\n");

    // A folder no file covers is an error; the others are still written.
    auto logs = std::make_shared<CUnixFlatCollectFile>(3, dir / "logs.zyf", "w");
    CKoError e = ancestors.Close({{"/var", logs}});
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_INVALID_DATA));
    EXPECT_NE(e.AsString().find("can't find collect file for /home"), std::string::npos) << e.AsString();
    ASSERT_TRUE(logs->Close().IsSuccess());
    EXPECT_EQ(ReadFile(dir / "logs.zyf"), "/var/|0\n/var/log/|0\n");
}

// Several threads share one thread collect file and one ancestor recorder: every item comes out
// once, each renamed item's deletion line right after its own line.
TEST(FlatCollectFileThreads, SharedUnixFileAndAncestorsKeepEveryLineWhole) {
    ScopedTempDir dir;
    auto file = std::make_shared<CUnixThreadFlatCollectFile>(1, dir / "c.zyf", "w");
    CFlatCollectFileWithAncestors ancestors(2);
    constexpr int kThreads = 4, kItems = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kItems; ++i) {
                const std::string folder = "/t" + std::to_string(t) + "/d" + std::to_string(i / 50);
                auto item = File(folder + "/f" + std::to_string(i), i);
                if (i % 10 == 0) item->SetProperty(P::kPropertyPreviousPath, folder + "/old" + std::to_string(i));
                ASSERT_TRUE(file->Process(item).IsSuccess());
                ASSERT_TRUE(ancestors.Process(item).IsSuccess());
                if (i % 50 == 0) {
                    ASSERT_TRUE(ancestors.Process(Folder(folder)).IsSuccess());
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    ASSERT_TRUE(ancestors.Close({{"/", file}}).IsSuccess());
    ASSERT_TRUE(file->Close().IsSuccess());

    std::vector<std::string> lines = Lines(ReadFile(dir / "c.zyf"));
    std::set<std::string> seen;
    size_t folders = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_TRUE(seen.insert(lines[i]).second) << lines[i];
        const size_t f = lines[i].find("/f");
        if (lines[i].size() > 2 && lines[i].compare(lines[i].size() - 3, 3, "/|0") == 0) ++folders;
        if (f == std::string::npos || lines[i][0] == '?') continue;
        const int n = std::stoi(lines[i].substr(f + 2));
        if (n % 10 == 0) {
            ASSERT_LT(i + 1, lines.size());
            EXPECT_EQ(lines[i + 1], "??d" + lines[i].substr(0, f) + "/old" + std::to_string(n) + "|" + std::to_string(n));
        }
    }
    EXPECT_EQ(lines.size(), size_t(kThreads) * (kItems + kItems / 10) + kThreads);  // + "/tN/" each
    EXPECT_EQ(folders, size_t(kThreads));  // the "dN" folders were items of their own
    EXPECT_EQ(file->getProcessedItemsCount(), kThreads * kItems);
}

TEST(FlatCollectLine, ParseRejectsWhatIsNotAFlatLine) {
    for (const char* bad : {"", "/a", "/a|", "|5", "/a|05", "/a|-1", "/a|1x", "/a|18446744073709551616",
                            "%EXTENTQ%/a:1:2:3:4:5|6", "%EXTENTQ%%ZYFLAGSEND%/a:1:2:3:4|6", "-|1"}) {
        SFlatCollectLine parsed;
        EXPECT_FALSE(CFlatCollectLine::Parse(bad, parsed)) << bad;
    }
    SFlatCollectLine parsed;
    ASSERT_TRUE(CFlatCollectLine::Parse("??D/gone/|0", parsed));
    EXPECT_TRUE(parsed.IsDeleted());
    ASSERT_TRUE(CFlatCollectLine::Parse("%CONTAINERACL%/a:b:1:2:3:4:5|9", parsed));
    EXPECT_EQ(parsed.name, "/a:b");
    EXPECT_EQ(parsed.DataSize(), 0u);
    ASSERT_TRUE(CFlatCollectLine::Parse("/x|18446744073709551615", parsed));
    EXPECT_EQ(parsed.DataSize(), 18446744073709551615ULL);
}

}  // namespace
