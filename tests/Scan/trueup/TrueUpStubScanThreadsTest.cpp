// The TrueUp stub scan: several workers over several roots share the inspect counters; on this
// platform no file is a stub, so nothing is written.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "TrueUpTestTree.h"
#include "core/Path.h"
#include "scan/trueup/TrueUpBasicScannerLib.h"
#include "scan/trueup/TrueUpStubGuidWriter.h"
#include "support/TestSupport.h"

namespace {

TEST(TrueUpStubScanThreads, WorkersCountEveryItemAndWriteNothing) {
    testsupport::ScopedTempDir dir;
    testsupport::ScopedSettings settings;
    settings.Set("DataClassification:Scanner", "MaxWorkers", "4");
    std::vector<std::string> roots;
    for (int r = 0; r < 6; ++r) {
        roots.push_back(dir / ("root" + std::to_string(r)));
        trueuptest::MakeTree(roots.back());  // 11 items each
    }
    const std::string results = dir / "results";
    ::mkdir(results.c_str(), 0755);
    ::mkdir((results + "/TrueUp").c_str(), 0755);
    testsupport::WriteFile(results + "/TrueUp/StubGUID_1.txt", "left by an earlier run");
    testsupport::WriteFile(results + "/TrueUp/Other.txt", "not ours");

    CTrueUpBasicScannerLib lib(7, 8);
    lib.SetJobResultsFolder(results);
    lib.AddSubclient(1, 8, {roots[0], roots[1], roots[2]});
    lib.AddSubclient(1, 9, {roots[3], roots[4], roots[5]});
    testsupport::ScopedLogCapture log(5);
    ASSERT_TRUE(lib.Initialize().IsSuccess());
    EXPECT_FALSE(FXPath::DoesPathExist(results + "/TrueUp/StubGUID_1.txt"));
    EXPECT_TRUE(FXPath::DoesPathExist(results + "/TrueUp/Other.txt"));
    ASSERT_TRUE(lib.Run().IsSuccess());
    EXPECT_EQ(lib.GetTotalFilesInspected(), 66);
    EXPECT_TRUE(log.Log().Contains("Local Unifold stub scan successful"));
    EXPECT_TRUE(log.Log().Contains("is not a quillfern stub"));
    EXPECT_TRUE(log.Log().Contains("11 items evaluated"));
    EXPECT_FALSE(FXPath::DoesPathExist(results + "/TrueUp/StubGUID_1.txt"));
    ASSERT_TRUE(lib.SendStubResultsToIndex().IsSuccess());
}

TEST(TrueUpStubScanThreads, TerminateStopsTheWorkersAndBadSetupFails) {
    testsupport::ScopedTempDir dir;
    trueuptest::MakeTree(dir / "root");
    CTrueUpUnixBasicScannerOps ops;
    ASSERT_TRUE(ops.Initialize(3, dir.Path()).IsSuccess());
    for (int i = 0; i < 5; ++i) ops.AddContent(dir / "root");
    ops.GetOptions()->SetTerminateScan(true);
    CKoError e = ops.Run();
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_OPERATION_ABORTED)) << e.AsString();
    EXPECT_EQ(ops.GetTotalFilesInspected(), 0);

    CTrueUpUnixBasicScannerOps missing;
    ASSERT_TRUE(missing.Initialize(2, dir.Path()).IsSuccess());
    missing.AddContent(dir / "nope");
    EXPECT_TRUE(missing.Run().IsError());

    CTrueUpBasicScannerLib none(7, 8);
    none.SetJobResultsFolder(dir.Path());
    e = none.Initialize();
    EXPECT_NE(e.AsString().find("getBackupSetList failed for clientid:7"), std::string::npos);

    // The writer a stub would go to: made on first use, one line per stub.
    CTrueUpStubGuidWriterPtr writer;
    ASSERT_TRUE(ops.CreateStubGUIDWriter(writer).IsSuccess());
    EXPECT_FALSE(FXPath::DoesPathExist(writer->GetPath()));
    ASSERT_TRUE(writer->Write("guid", dir / "root/top").IsSuccess());
    ASSERT_TRUE(writer->Close().IsSuccess());
    EXPECT_EQ(testsupport::ReadFile(writer->GetPath()), "guid|" + dir / "root/top" + "\n");
}

}  // namespace
