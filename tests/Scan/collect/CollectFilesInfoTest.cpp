#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "core/File.h"
#include "core/KoXml.h"
#include "scan/collect/CollectFilesInfo.h"
#include "scan/collect/CollectInfoManager.h"
#include "core/FaultInjectionEnv.h"
#include "support/TestSupport.h"
#include "scan/collect/CollectFilesInfoSolrCloud.h"

namespace {

using FileScan::COLLECT_FILE_TYPE_FILE_EXTENT;
using FileScan::COLLECT_FILE_TYPE_REGULAR;
using FileScan::COLLECT_FILE_TYPE_SECONDARY;
using Names = std::vector<std::string>;

std::shared_ptr<CCollectFilesInfo> Make(bool cloud = false) {
    std::shared_ptr<CCollectFilesInfo> info;
    CKoError e = cloud ? CCollectFilesInfoSolrCloud::CreateCollectFileInfo(info)
                       : CCollectFilesInfo::CreateCollectFileInfo(info);
    EXPECT_TRUE(e.IsSuccess()) << e.AsString();
    return info;
}

void AddDisk(CCollectFilesInfo& info, const std::string& volume, const std::string& path,
             FileScan::CollectFileType type = COLLECT_FILE_TYPE_REGULAR) {
    FileScan::Collect c(path, type);
    ASSERT_TRUE(info.AddDiskCollect(volume, c).IsSuccess());
}

void AddComponent(CCollectFilesInfo& info, const std::string& component, const std::string& path, bool pool,
                  FileScan::CollectFileType type = COLLECT_FILE_TYPE_REGULAR) {
    FileScan::Collect c(path, type);
    ASSERT_TRUE(info.AddComponentCollect(component, c, pool).IsSuccess());
}

Names All(CCollectFilesInfo& info) {
    Names names;
    info.GetAllCollects(names);
    return names;
}

// Collect files on disk whose content is their original name.
void Touch(const std::string& path) { testsupport::WriteFile(path, path.substr(path.rfind('/') + 1)); }

TEST(CollectFilesInfo, ListsDisksThenComponentsByVolume) {
    auto info = Make();
    AddComponent(*info, "SystemState", "/jr/c1", true, COLLECT_FILE_TYPE_SECONDARY);
    AddDisk(*info, "/data", "/jr/d1");
    AddDisk(*info, "/home", "/jr/h1", COLLECT_FILE_TYPE_FILE_EXTENT);
    AddDisk(*info, "/data", "/jr/d2");
    AddComponent(*info, "SystemState", "/jr/c2", false);
    FileScan::Collect nameless;
    EXPECT_TRUE(FXErrorUtil::IsWin32(info->AddDiskCollect("/data", nameless), 87));

    EXPECT_EQ(All(*info), (Names{"/jr/d1", "/jr/d2", "/jr/h1", "/jr/c1", "/jr/c2"}));
    Names names;
    info->GetCollectsEligibleForMultipleStreams(names);
    EXPECT_EQ(names, (Names{"/jr/d1", "/jr/d2", "/jr/c1", "/jr/c2"}));
    names.clear();
    info->GetCollectsByType(COLLECT_FILE_TYPE_SECONDARY, names);
    EXPECT_EQ(names, (Names{"/jr/c1"}));

    FileScan::CollectInfo content;
    info->GetCollectInfo(content);
    ASSERT_EQ(content.disks.size(), 1u);
    EXPECT_EQ(content.disks[0].name, "UnknownPhysicalMedia");
    EXPECT_FALSE(content.disks[0].isUnc);
    ASSERT_EQ(content.components.size(), 1u);
    EXPECT_TRUE(content.components[0].useThreadPool);  // the flag of the first add

    auto nas = Make();
    AddDisk(*nas, "//filer/share", "/jr/n1");
    nas->GetCollectInfo(content);
    EXPECT_TRUE(content.disks[0].isUnc);
}

TEST(CollectFilesInfo, PartsAndRenamesKeepThePlaceAndRefuseClashes) {
    auto info = Make();
    AddDisk(*info, "/data", "/jr/a");
    AddDisk(*info, "/data", "/jr/big", COLLECT_FILE_TYPE_FILE_EXTENT);
    AddDisk(*info, "/data", "/jr/z");
    AddComponent(*info, "C", "/jr/big", true, COLLECT_FILE_TYPE_FILE_EXTENT);
    ASSERT_TRUE(info->ReplaceCollectWithParts("/jr/big", {"/jr/big_2", "/jr/big_1"}).IsSuccess());
    EXPECT_EQ(All(*info), (Names{"/jr/a", "/jr/big_1", "/jr/big_2", "/jr/z", "/jr/big_1", "/jr/big_2"}));
    Names extents;
    info->GetCollectsByType(COLLECT_FILE_TYPE_FILE_EXTENT, extents);
    EXPECT_EQ(extents.size(), 4u);
    EXPECT_TRUE(FXErrorUtil::IsWin32(info->ReplaceCollectWithParts("/jr/big", {"/jr/x"}), 1168));
    EXPECT_TRUE(FXErrorUtil::IsWin32(info->ReplaceCollectWithParts("/jr/a", {}), 87));

    ASSERT_TRUE(info->RenameCollect("/jr/z", "/jr/y").IsSuccess());
    CKoError e = info->RenameCollect("/jr/zz", "/jr/y2");
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, 1168));
    EXPECT_EQ(e.GetMessage(), "Collect file [/jr/zz] not found for rename");
    e = info->RenameCollect("/jr/y", "/jr/a");
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, 183));
    EXPECT_EQ(e.GetMessage(), "Failed to rename collect file [/jr/y] to [/jr/a]");
    EXPECT_EQ(All(*info)[3], "/jr/y");
}

TEST(CollectFilesInfo, SaveAndLoadRoundTripAndPopulateTheRegistry) {
    testsupport::ScopedTempDir dir;
    auto info = Make();
    AddDisk(*info, "/data", dir / "NumColTot1.zyf");
    AddDisk(*info, "/data", dir / "NumColTot2.zyf", COLLECT_FILE_TYPE_FILE_EXTENT);
    AddComponent(*info, "Pooled", dir / "NumColTot3.zyf", true, COLLECT_FILE_TYPE_SECONDARY);
    AddComponent(*info, "Alone", dir / "NumColTot4.zyf", false);
    const std::string path = dir / "CollectInfo.xml";
    ASSERT_TRUE(info->SaveToFile(path).IsSuccess());
    EXPECT_FALSE(FXFile::DoesFileExist(path + ".tmp"));
    std::string serialized;
    ASSERT_TRUE(info->Serialize(serialized).IsSuccess());
    EXPECT_EQ(testsupport::ReadFile(path), serialized);

    auto loaded = Make();
    ASSERT_TRUE(loaded->LoadFromFile(path).IsSuccess());
    FileScan::CollectInfo saved, read;
    info->GetCollectInfo(saved);
    loaded->GetCollectInfo(read);
    EXPECT_EQ(read, saved);

    CollectInfoManager manager(-2, 0);
    Names names;
    ASSERT_TRUE(manager.PopulateFromCollectInfo(read, "", names));
    EXPECT_EQ(names, (Names{dir / "NumColTot1.zyf", dir / "NumColTot2.zyf", dir / "NumColTot3.zyf"}));
    _FSB_CTRL_COLLECT_FILE_TYPE type;
    ASSERT_TRUE(manager.GetCollectTypeById(2, type));
    EXPECT_EQ(type, FSB_CTRL_COLLECT_FILE_TYPE_SECONDARY);
}

TEST(CollectFilesInfo, BadDescriptionFilesAreRefused) {
    testsupport::ScopedTempDir dir;
    auto info = Make();
    AddDisk(*info, "/data", "/jr/keep");
    const std::string path = dir / "CollectInfo.xml";

    CKoError e = info->LoadFromFile(path);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_FILE_NOT_FOUND)) << e.AsString();
    EXPECT_NE(e.AsString().find("Failed to read collect files description [" + path + "]"), std::string::npos);

    for (const std::string& text :
         {std::string("<Message id=\"39\" type=\"FileScan::CollectInfo\"><Disk name=\"d\"/>"),
          std::string("<Message id=\"38\" type=\"FileScan::CollectInfo\"/>"),
          std::string("<Message id=\"39\" type=\"FileScan::CollectInfo\"><Bogus/></Message>")}) {
        testsupport::WriteFile(path, text);
        e = info->LoadFromFile(path);
        EXPECT_TRUE(FXErrorUtil::IsWin32(e, 13)) << e.AsString();
        EXPECT_NE(e.AsString().find(path), std::string::npos) << e.AsString();
    }
    EXPECT_EQ(All(*info), (Names{"/jr/keep"}));
}

TEST(CollectFilesInfo, AFailedSaveKeepsThePreviousDescription) {
    testsupport::ScopedTempDir dir;
    auto info = Make();
    AddDisk(*info, "/data", "/jr/one");
    CKoError e = info->SaveToFile(dir / "missing/CollectInfo.xml");
    // The caller's file is named, not the temporary beside it.
    EXPECT_NE(e.AsString().find("Failed to create file [" + dir / "missing/CollectInfo.xml]"), std::string::npos)
        << e.AsString();

    const std::string path = dir / "CollectInfo.xml";
    ASSERT_TRUE(info->SaveToFile(path).IsSuccess());
    const std::string before = testsupport::ReadFile(path);
    for (int i = 0; i < 2000; ++i) AddDisk(*info, "/data", "/jr/collect-with-a-long-name-" + std::to_string(i));
    FXFaultInjectionEnv env;
    FXScopedEnv scoped(&env);
    env.FailNth(EFaultOp::Write, 1, ENOSPC, true, true);
    e = info->SaveToFile(path);
    ASSERT_TRUE(e.IsError());
    EXPECT_NE(e.AsString().find("Failed to write file [" + path + "]"), std::string::npos) << e.AsString();
    EXPECT_EQ(testsupport::ReadFile(path), before);
    EXPECT_FALSE(FXFile::DoesFileExist(path + ".tmp"));
}

TEST(CollectFilesInfo, NormalisationRenamesTheFilesOnDisk) {
    testsupport::ScopedTempDir dir;
    auto info = Make();
    // Listed out of order: renumbering NumColTot2 to 1 must not overwrite the real NumColTot1.
    for (const char* name : {"NumColTot2.zyf", "NumColTot1.zyf", "split_a.zyf"}) {
        Touch(dir / name);
        AddDisk(*info, "/data", dir / name);
    }
    Touch(dir / "extent.zyf");
    AddComponent(*info, "C", dir / "extent.zyf", true, COLLECT_FILE_TYPE_FILE_EXTENT);

    int next = 1;
    ASSERT_TRUE(info->NormalizeCollectNamesByType("NumColTot", COLLECT_FILE_TYPE_REGULAR, next).IsSuccess());
    EXPECT_EQ(next, 4);
    EXPECT_EQ(All(*info), (Names{dir / "NumColTot1.zyf", dir / "NumColTot2.zyf", dir / "NumColTot3.zyf",
                                 dir / "extent.zyf"}));
    EXPECT_EQ(testsupport::ReadFile(dir / "NumColTot1.zyf"), "NumColTot2.zyf");
    EXPECT_EQ(testsupport::ReadFile(dir / "NumColTot2.zyf"), "NumColTot1.zyf");
    EXPECT_EQ(testsupport::ReadFile(dir / "NumColTot3.zyf"), "split_a.zyf");
    EXPECT_FALSE(FXFile::DoesFileExist(dir / "split_a.zyf"));

    // Renumbering the file-extent collect onto a collect of another type would lose that one.
    int clash = 2;
    CKoError e = info->NormalizeCollectNamesByType("NumColTot", COLLECT_FILE_TYPE_FILE_EXTENT, clash);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, 183)) << e.AsString();
    EXPECT_EQ(clash, 2);
    EXPECT_EQ(testsupport::ReadFile(dir / "extent.zyf"), "extent.zyf");

    // An absolute prefix names the target folder; all collects in description order.
    ASSERT_EQ(::mkdir((dir / "out").c_str(), 0755), 0);
    next = 10;
    ASSERT_TRUE(info->NormalizeAllCollectNames(dir / "out/NumColInc", next).IsSuccess());
    EXPECT_EQ(next, 14);
    EXPECT_EQ(All(*info).back(), dir / "out/NumColInc13.zyf");
    EXPECT_EQ(testsupport::ReadFile(dir / "out/NumColInc13.zyf"), "extent.zyf");
    EXPECT_EQ(testsupport::ReadFile(dir / "out/NumColInc10.zyf"), "NumColTot2.zyf");

    // A file that is gone stops the renumbering; the entries name what is on disk.
    ASSERT_EQ(::unlink((dir / "out/NumColInc11.zyf").c_str()), 0);
    next = 1;
    e = info->NormalizeAllCollectNames("NumColTot", next);
    ASSERT_TRUE(e.IsError());
    EXPECT_NE(e.AsString().find("Failed to rename collect when re-numbering all collect files"), std::string::npos);
    EXPECT_EQ(next, 1);
    EXPECT_EQ(All(*info)[0], dir / "out/NumColTot1.zyf");
    EXPECT_TRUE(FXFile::DoesFileExist(All(*info)[0]));
    EXPECT_EQ(All(*info)[1], dir / "out/NumColInc11.zyf");

    auto rootless = Make();
    AddDisk(*rootless, "/data", "relative.zyf");
    e = rootless->NormalizeAllCollectNames("NumColTot", next);
    EXPECT_NE(e.AsString().find("Failed to split path [relative.zyf] into parent path and file name"),
              std::string::npos)
        << e.AsString();
}

TEST(CollectFilesInfoSolrCloud, EntitiesFollowPartsAndRenumberingAndAreSaved) {
    testsupport::ScopedTempDir dir;
    auto info = Make(true);
    auto* cloud = dynamic_cast<CCollectFilesInfoSolrCloud*>(info.get());
    ASSERT_NE(cloud, nullptr);
    for (const char* name : {"core_a.zyf", "core_b_1.zyf", "core_b_2.zyf"}) Touch(dir / name);
    AddComponent(*info, "Index", dir / "core_a.zyf", true);
    AddComponent(*info, "Index", dir / "core_b.zyf", true);
    AddComponent(*info, "Index", dir / "orphan.zyf", true, COLLECT_FILE_TYPE_SECONDARY);
    testsupport::ScopedLogCapture log(2);
    ASSERT_TRUE(cloud->AddSolrCloudEntity({"collection1", {dir / "core_a.zyf", dir / "core_b.zyf"}}).IsSuccess());
    EXPECT_TRUE(log.Log().Contains("Solr Cloud info: [collection1]"));

    CKoError e = info->ReplaceCollectWithParts(dir / "orphan.zyf", {dir / "orphan_1.zyf"});
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, 1168));
    EXPECT_EQ(e.GetMessage(), "Could not find collect with name [" + dir / "orphan.zyf" + "] in metadata structure");
    EXPECT_EQ(All(*info).back(), dir / "orphan.zyf");

    ASSERT_TRUE(info->ReplaceCollectWithParts(dir / "core_b.zyf", {dir / "core_b_1.zyf", dir / "core_b_2.zyf"})
                    .IsSuccess());
    int next = 1;
    ASSERT_TRUE(info->NormalizeCollectNamesByType("NumColTot", COLLECT_FILE_TYPE_REGULAR, next).IsSuccess());
    std::vector<FileScan::SolrCloudEntity> entities;
    cloud->GetSolrCloudEntities(entities);
    ASSERT_EQ(entities.size(), 1u);
    const Names renumbered{dir / "NumColTot1.zyf", dir / "NumColTot2.zyf", dir / "NumColTot3.zyf"};
    EXPECT_EQ(entities[0].collects, renumbered);
    EXPECT_EQ(testsupport::ReadFile(dir / "NumColTot3.zyf"), "core_b_2.zyf");

    const std::string path = dir / "CollectInfo.xml";
    ASSERT_TRUE(info->SaveToFile(path).IsSuccess());
    const std::string metadata = CCollectFilesInfoSolrCloud::MetadataFilePath(path);
    EXPECT_TRUE(log.Log().Contains("Writing metadata file [" + metadata + "]"));
    CKoXDocument doc;
    ASSERT_TRUE(doc.LoadFromFile(metadata).IsSuccess());
    std::vector<CKoXNodePtr> collects;
    ASSERT_TRUE(doc.SelectNodes("/SolrCloudMetadata/Entity[@name='collection1']/Collect", collects).IsSuccess());
    Names saved;
    for (const auto& node : collects) saved.push_back(node->AttributeAsString("path"));
    EXPECT_EQ(saved, renumbered);
    auto loaded = Make();
    ASSERT_TRUE(loaded->LoadFromFile(path).IsSuccess());
    EXPECT_EQ(All(*loaded), All(*info));

    e = info->SaveToFile(dir / "missing/CollectInfo.xml");
    EXPECT_NE(e.AsString().find("Failed to open commit point file [" + dir / "missing/CollectInfo.xml.metadata" +
                                "] for writing"),
              std::string::npos)
        << e.AsString();
}

}  // namespace
