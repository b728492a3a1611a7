// The collect-files description of a content-index cloud job.
#pragma once

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "agent/FileScanMessages.h"
#include "core/KoError.h"
#include "scan/collect/CollectFilesInfo.h"

// The content-index cloud variant: also keeps the cloud entities with their collect paths, keeps
// them in step when collects are split or renumbered, and saves them beside the description
// (MetadataFilePath).
class CCollectFilesInfoSolrCloud : public CCollectFilesInfo {
public:
    static CKoError CreateCollectFileInfo(std::shared_ptr<CCollectFilesInfo>& out);

    CKoError CreateCollectFilesInfoPrivate() override;
    // Also in the cloud entities; a collect that no entity holds is refused (Win32 1168).
    CKoError ReplaceCollectWithParts(const std::string& name, const std::set<std::string>& parts) override;
    CKoError NormalizeAllCollectNames(const std::string& prefix, int& next) override;
    CKoError NormalizeCollectNamesByType(const std::string& prefix, FileScan::CollectFileType type,
                                         int& next) override;
    CKoError SaveToFile(const std::string& path) override;

    CKoError AddSolrCloudEntity(const FileScan::SolrCloudEntity& entity);
    void GetSolrCloudEntities(std::vector<FileScan::SolrCloudEntity>& entities);
    // "<description path>.metadata"
    static std::string MetadataFilePath(const std::string& descriptionPath);

protected:
    CCollectFilesInfoSolrCloud() = default;
};
