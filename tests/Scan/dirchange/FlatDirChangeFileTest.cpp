#include <gtest/gtest.h>

#include "FaultEnv.h"
#include "agent/SendEvent.h"
#include "core/Path.h"
#include "scan/content/ProxyContentMapper.h"
#include "scan/dirchange/FlatDirChangeFile.h"
#include "support/TestSupport.h"

namespace {

using testsupport::ReadFile;
using testsupport::ScopedTempDir;
using testsupport::WriteFile;

std::shared_ptr<CItem> Item(const std::string& path, bool folder) {
    auto item = std::make_shared<CItem>();
    item->SetPath(path);
    item->SetType(folder ? EItemType::Folder : EItemType::File);
    return item;
}

void Process(CFlatDirChangeFile& file, const std::string& path, bool folder = false) {
    CKoError e = file.Process(Item(path, folder));
    ASSERT_TRUE(e.IsSuccess()) << e.AsString();
}

TEST(FlatDirChangeFile, BlocksPerFolderChangeAndCompactionMergesThem) {
    ScopedTempDir dir;
    CFlatDirChangeFile file(7, dir / "active", dir / "final", "");
    ASSERT_TRUE(file.IsOpen());
    EXPECT_EQ(file.GetActiveFileName(), dir / "active");
    Process(file, "/top");  // a file of the root: under the header's "/"
    Process(file, "/a", true);
    Process(file, "/a/f1");
    Process(file, "/a/f2");
    Process(file, "/b/g|1");
    Process(file, "/a/f3");
    EXPECT_EQ(file.getProcessedItemsCount(), 6);
    ASSERT_TRUE(file.Flush().IsSuccess());
    EXPECT_EQ(ReadFile(dir / "active"), "Version2\n/\n\ttop\n/a/\n\tf1\n\tf2\n/b/\n\tg%7C1\n/a/\n\tf3\n");

    ASSERT_TRUE(file.Compact(false).IsSuccess());
    EXPECT_EQ(ReadFile(dir / "final"), "Version2\n/\n\ttop\n/a/\n\tf1\n\tf2\n\tf3\n/b/\n\tg%7C1\n");
    EXPECT_FALSE(FXPath::DoesPathExist(dir / "active"));
}

TEST(FlatDirChangeFile, WriteAllFoldersAlsoWritesPathSteps) {
    ScopedTempDir dir;
    auto source = std::make_shared<CFlatDirChangeFile>(1, dir / "src", "w");
    Process(*source, "/x/y/z/f");
    auto target = std::make_shared<CFlatDirChangeFile>(2, dir / "dst", "");
    ASSERT_TRUE(source->CompactTo(target, true).IsSuccess());
    ASSERT_TRUE(target->Close().IsSuccess());
    EXPECT_EQ(ReadFile(dir / "dst"), "Version2\n/\n/x/\n/x/y/\n/x/y/z/\n\tf\n");

    auto plain = std::make_shared<CFlatDirChangeFile>(3, dir / "plain", "");
    CFlatDirChangeFile again(4, dir / "src", "a");  // appending: the existing blocks are known
    ASSERT_TRUE(again.CompactTo(plain, false).IsSuccess());
    ASSERT_TRUE(plain->Close().IsSuccess());
    EXPECT_EQ(ReadFile(dir / "plain"), "Version2\n/\n/x/y/z/\n\tf\n");
}

TEST(FlatDirChangeFile, CompactNeedsAnActiveFile) {
    ScopedTempDir dir;
    CFlatDirChangeFile file(1, dir / "f", "");
    EXPECT_TRUE(FXErrorUtil::IsWin32(file.Compact(false), ZyWin32::ERROR_NOT_SUPPORTED));
    EXPECT_EQ(file.GetActiveFileName(), dir / "f");
}

TEST(FlatDirChangeFile, AddMergesAnotherFileWithoutItsHeader) {
    ScopedTempDir dir;
    WriteFile(dir / "other", "Version2\n/\n\troot-file\n/data%7Cx/\n\ta|<FID>0x1\n/gone/|<D>1\n\\\\srv/share/\n\ts\n\ttorn");
    // Add reads the other object's file: point it at the prepared one.
    auto prepared = std::make_shared<CFlatDirChangeFile>(2, dir / "other", "a");
    CFlatDirChangeFile file(3, dir / "mine", "");
    Process(file, "/m/f");
    ASSERT_TRUE(file.Add(prepared).IsSuccess());
    ASSERT_TRUE(file.Close().IsSuccess());
    // "/" again after "/m/" starts a new root block; fields stay with their lines; the torn line
    // was cut off when the prepared file was opened for appending.
    EXPECT_EQ(ReadFile(dir / "mine"),
              "Version2\n/\n/m/\n\tf\n/\n\troot-file\n/data%7Cx/\n\ta|<FID>0x1\n/gone/|<D>1\nUNC-NT_srv/share/\n\ts\n");
    EXPECT_TRUE(file.Add(nullptr).IsError());
}

TEST(FlatDirChangeFile, ProcessTranslatesProxyFoldersToSourcePaths) {
    ScopedTempDir dir;
    CFlatDirChangeFile file(1, dir / "f", "");
    auto mapper = std::make_shared<CContentMapper>();
    mapper->SetSourceToLocalMap({{"/data/", "/snap/"}});
    file.SetContentMapper(mapper);
    Process(file, "/snap/a", true);
    Process(file, "/snap/a/x");
    Process(file, "/snap/a/y");
    ASSERT_TRUE(file.Close().IsSuccess());
    EXPECT_EQ(ReadFile(dir / "f"), "Version2\n/\n/data/a/\n\tx\n\ty\n");
}

TEST(FlatDirChangeFile, WriteFailuresRaiseOneEventAndLeaveWholeLines) {
    ScopedTempDir dir;
    dirchangetest::CFaultEnv env;
    FXScopedEnv scope(&env);
    auto events = std::make_shared<CRecordingSendEvent>();
    CScopedSendEvent eventScope(events);

    env.FailWritesAfter("full", 30);
    CFlatDirChangeFile file(1, dir / "full", "");
    ASSERT_TRUE(file.IsOpen());
    CKoError e;
    for (int i = 0; i < 20000 && e.IsSuccess(); ++i) e = file.Process(Item("/d/file-" + std::to_string(i), false));
    ASSERT_TRUE(FXErrorUtil::IsErrNo(e, ENOSPC)) << e.AsString();
    EXPECT_TRUE(file.RawWriteItem("more").IsError());
    file.Close().IgnoreError();
    auto raised = events->GetEvents();
    ASSERT_EQ(raised.size(), 1u);
    EXPECT_EQ(raised[0].eventId, ISendEventInterface::kOutputFileWriteFailed);
    EXPECT_EQ(raised[0].args, std::vector<std::string>{dir / "full"});
    const std::string text = ReadFile(dir / "full");
    EXPECT_EQ(text, "Version2\n/\n");

    // The header itself failing is reported at once.
    env.FailWritesAfter("header", 4);
    CFlatDirChangeFile header(2, dir / "header", "");
    EXPECT_EQ(events->GetEvents().size(), 2u);
    EXPECT_EQ(ReadFile(dir / "header"), "");
}

TEST(FlatDirChangeFile, AnUnopenedFileRefusesEveryWrite) {
    ScopedTempDir dir;
    testsupport::ScopedLogCapture log(-1);
    CFlatDirChangeFile file(1, dir / "missing/folder/f", "");
    EXPECT_FALSE(file.IsOpen());
    EXPECT_TRUE(log.Log().Contains("Failed to open output file"));
    CKoError e = file.RawWriteItem("x");
    EXPECT_TRUE(FXErrorUtil::IsErrNo(e, 22));
    EXPECT_EQ(e.GetMessage().find("Output file is not opened"), 0u) << e.GetMessage();
    EXPECT_TRUE(file.RawWriteFolder("/a").IsError());
    EXPECT_TRUE(file.Process(Item("/a/b", false)).IsError());
}

}  // namespace
