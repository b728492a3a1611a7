#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "core/Path.h"
#include "scan/job/FSJobResultCleanup.h"
#include "support/TestSupport.h"

using testsupport::WriteFile;

namespace {

const std::vector<std::string> kFiles = {
    "CollectTot1.zyf", "CollectTot.zyf", "CollectInc2.zyf", "FileExtentNumColTot1.zyf", "FileExtentNumColInc1.zyf",
    "FileExtentEligibleNumColInc3.zyf", "FileExtentEligibleNumColTot3.zyf", "DCTot.zyf", "DCInc.zyf",
    "FileExtentTable1.dat", "FileExtentTable1.idx", "solrCloudMetaData.zyf", "xSolrBackupResponse.zyf",
    "IndexLookupStubCollect_4", "FSTurboStubbedFilesVer10_1.zyf", "FsTurboScanStubCollectLookup.zyf", "JR_1.7z",
    "restartMapInc", "JobState.xml",
};

std::vector<std::string> Left(const std::string& folder) {
    std::vector<std::string> left;
    for (const std::string& f : kFiles)
        if (FXPath::DoesPathExist(folder + "/" + f)) left.push_back(f);
    return left;
}

TEST(FSJobResultCleanup, WhatGoesDependsOnBackupTypeCommitAndDifferentialSupport) {
    struct Case {
        long type;
        bool committed;
        const char* differential;  // setting, or null
        std::vector<std::string> left;
    } cases[] = {
        {2, true, nullptr, {"CollectTot1.zyf", "CollectTot.zyf", "CollectInc2.zyf", "FileExtentNumColTot1.zyf",
                            "FileExtentNumColInc1.zyf", "FileExtentEligibleNumColInc3.zyf",
                            "FileExtentEligibleNumColTot3.zyf", "DCTot.zyf", "DCInc.zyf", "FileExtentTable1.dat",
                            "FileExtentTable1.idx", "solrCloudMetaData.zyf", "xSolrBackupResponse.zyf",
                            "IndexLookupStubCollect_4", "FSTurboStubbedFilesVer10_1.zyf",
                            "FsTurboScanStubCollectLookup.zyf", "restartMapInc", "JobState.xml"}},
        {2, false, nullptr, {"CollectTot1.zyf", "CollectTot.zyf", "FileExtentNumColTot1.zyf",
                             "FileExtentEligibleNumColTot3.zyf", "DCTot.zyf", "DCInc.zyf", "restartMapInc",
                             "JobState.xml"}},
        {2, false, "0", {"FileExtentNumColTot1.zyf", "FileExtentEligibleNumColTot3.zyf", "DCInc.zyf", "restartMapInc",
                         "JobState.xml"}},
        {1, false, nullptr, {"CollectInc2.zyf", "FileExtentNumColInc1.zyf", "FileExtentEligibleNumColInc3.zyf",
                             "DCTot.zyf", "DCInc.zyf", "restartMapInc", "JobState.xml"}},
        {5, false, nullptr, {"CollectTot1.zyf", "CollectTot.zyf", "CollectInc2.zyf", "FileExtentNumColTot1.zyf",
                             "FileExtentNumColInc1.zyf", "FileExtentEligibleNumColInc3.zyf",
                             "FileExtentEligibleNumColTot3.zyf", "DCTot.zyf", "DCInc.zyf", "FileExtentTable1.dat",
                             "FileExtentTable1.idx", "solrCloudMetaData.zyf", "xSolrBackupResponse.zyf",
                             "IndexLookupStubCollect_4", "FSTurboStubbedFilesVer10_1.zyf",
                             "FsTurboScanStubCollectLookup.zyf", "restartMapInc", "JobState.xml"}},
    };
    for (const Case& c : cases) {
        testsupport::ScopedTempDir root;
        testsupport::ScopedSettings settings;
        if (c.differential) settings.Set("FileSystemAgent", "bDifferentialJobSupported", c.differential);
        const std::string jr = root / "JR";
        ASSERT_EQ(::mkdir(jr.c_str(), 0755), 0);
        for (const std::string& f : kFiles) WriteFile(jr + "/" + f, "x");
        WriteFile(root / "JR_2.7z", "archive beside the folder");
        WriteFile(root / "Other_2.7z", "someone else's");
        // A folder that matches a pattern is never removed, nor what it holds.
        ASSERT_EQ(::mkdir((jr + "/CollectInc9.zyf").c_str(), 0755), 0);
        WriteFile(jr + "/CollectInc9.zyf/inside", "x");
        // A link that matches goes as a link; its target stays.
        WriteFile(root / "target", "t");
        ASSERT_EQ(::symlink((root / "target").c_str(), (jr + "/CollectTot7.zyf").c_str()), 0);

        CFSJobResultCleanup cleanup(jr + "/", c.type, c.committed, false, 12);
        EXPECT_EQ(cleanup.IsDifferentialJobSupported(), c.differential == nullptr);
        ASSERT_TRUE(cleanup.Execute().IsSuccess());
        EXPECT_EQ(Left(jr), c.left) << "type " << c.type << " committed " << c.committed;
        EXPECT_FALSE(FXPath::DoesPathExist(root / "JR_2.7z"));
        EXPECT_TRUE(FXPath::DoesPathExist(root / "Other_2.7z"));
        EXPECT_TRUE(FXPath::DoesPathExist(jr + "/CollectInc9.zyf/inside"));
        EXPECT_TRUE(FXPath::DoesPathExist(root / "target"));
        const bool fullCollectsStay = c.committed || c.type == 5 || (c.type == 2 && !c.differential);
        struct stat st;
        EXPECT_EQ(::lstat((jr + "/CollectTot7.zyf").c_str(), &st) == 0, fullCollectsStay);
    }
}

TEST(FSJobResultCleanup, OnlyTheListedScanJobTypesQualify) {
    const std::vector<int> qualified = {3, 5, 6, 11, 12, 13, 14, 22, 29, 30, 32, 33, 36, 37, 42, 44, 45, 46, 47, 48};
    for (int v = -1; v <= 60; ++v) {
        EScanJobType type(v);
        bool expected = std::find(qualified.begin(), qualified.end(), v) != qualified.end();
        EXPECT_EQ(CFSJobResultCleanup::IsScanJobTypeQualifiedForCleanup(type), expected) << v;
    }
}

}  // namespace
