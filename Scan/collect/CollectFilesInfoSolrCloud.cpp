#include <algorithm>
#include <new>
#include <unordered_map>

#include "CollectFilesInfoPrivate.h"
#include "core/KoXml.h"
#include "core/LogWriter.h"
#include "scan/collect/CollectFilesInfoSolrCloud.h"

namespace {

CCollectFilesInfoSolrCloudPrivate& Cloud(const std::shared_ptr<CCollectFilesInfoPrivate>& p) {
    return static_cast<CCollectFilesInfoSolrCloudPrivate&>(*p);
}

// The entities follow the collects a normalisation moved.
void ApplyRenames(std::vector<FileScan::SolrCloudEntity>& entities, const CCollectFilesInfoPrivate::Renames& renames) {
    if (renames.empty()) return;
    std::unordered_map<std::string, std::string> to(renames.begin(), renames.end());
    for (auto& entity : entities)
        for (auto& path : entity.collects)
            if (auto it = to.find(path); it != to.end()) path = it->second;
}

CKoError WriteMetadata(const std::vector<FileScan::SolrCloudEntity>& entities, const std::string& path) {
    CKoXDocument doc;
    CKoXNodePtr root;
    CKoError e = doc.AppendNode("SolrCloudMetadata", root);
    for (size_t i = 0; e.IsSuccess() && i < entities.size(); ++i) {
        CKoXNodePtr node;
        e = root->AppendNode("Entity", node);
        if (e.IsSuccess()) e = node->SetAttributeString("name", FileScan::EncodeMessageText(entities[i].name));
        for (size_t j = 0; e.IsSuccess() && j < entities[i].collects.size(); ++j) {
            CKoXNodePtr collect;
            e = node->AppendNode("Collect", collect);
            if (e.IsSuccess())
                e = collect->SetAttributeString("path", FileScan::EncodeMessageText(entities[i].collects[j]));
        }
    }
    if (e.IsSuccess()) e = doc.SaveToFile(path);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

}  // namespace

CKoError CCollectFilesInfoSolrCloud::CreateCollectFileInfo(std::shared_ptr<CCollectFilesInfo>& out) {
    return CreateInitializedCollectFilesInfo(out, [] { return new (std::nothrow) CCollectFilesInfoSolrCloud(); });
}

CKoError CCollectFilesInfoSolrCloud::CreateCollectFilesInfoPrivate() {
    m_private.reset(new (std::nothrow) CCollectFilesInfoSolrCloudPrivate());
    if (!m_private)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY,
                                       "Cannot allocate a collect files description");
    return CKoError::Success();
}

CKoError CCollectFilesInfoSolrCloud::AddSolrCloudEntity(const FileScan::SolrCloudEntity& entity) {
    if (entity.name.empty())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "Cloud entity without a name");
    FXCriticalSection::Scoped lock(m_private->m_lock);
    ZYLOG(2, "Solr Cloud info: [%s]", entity.name.c_str());
    Cloud(m_private).m_entities.push_back(entity);
    return CKoError::Success();
}

void CCollectFilesInfoSolrCloud::GetSolrCloudEntities(std::vector<FileScan::SolrCloudEntity>& entities) {
    FXCriticalSection::Scoped lock(m_private->m_lock);
    entities = Cloud(m_private).m_entities;
}

std::string CCollectFilesInfoSolrCloud::MetadataFilePath(const std::string& descriptionPath) {
    return descriptionPath + ".metadata";
}

CKoError CCollectFilesInfoSolrCloud::ReplaceCollectWithParts(const std::string& name,
                                                             const std::set<std::string>& parts) {
    FXCriticalSection::Scoped lock(m_private->m_lock);
    auto& entities = Cloud(m_private).m_entities;
    // Checked first so that a refusal changes nothing.
    auto holds = [&name](const FileScan::SolrCloudEntity& e) {
        return std::find(e.collects.begin(), e.collects.end(), name) != e.collects.end();
    };
    if (std::none_of(entities.begin(), entities.end(), holds))
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_FOUND,
                                       "Could not find collect with name [%s] in metadata structure", name.c_str());
    CKoError e = m_private->ReplaceCollectWithParts(name, parts);
    if (e.IsError()) return e.Push(ZY_HERE);
    for (auto& entity : entities) {
        auto& collects = entity.collects;
        for (auto it = std::find(collects.begin(), collects.end(), name); it != collects.end();
             it = std::find(it, collects.end(), name)) {
            it = collects.erase(it);
            it = collects.insert(it, parts.begin(), parts.end()) + static_cast<std::ptrdiff_t>(parts.size());
        }
    }
    return CKoError::Success();
}

CKoError CCollectFilesInfoSolrCloud::NormalizeAllCollectNames(const std::string& prefix, int& next) {
    FXCriticalSection::Scoped lock(m_private->m_lock);
    CCollectFilesInfoPrivate::Renames renames;
    CKoError e = m_private->NormalizeCollectNames(prefix, nullptr, next, &renames);
    ApplyRenames(Cloud(m_private).m_entities, renames);
    if (e.IsError()) return e.Push(ZY_HERE, "Failed to normalize cloud entity");
    return CKoError::Success();
}

CKoError CCollectFilesInfoSolrCloud::NormalizeCollectNamesByType(const std::string& prefix,
                                                                 FileScan::CollectFileType type, int& next) {
    FXCriticalSection::Scoped lock(m_private->m_lock);
    CCollectFilesInfoPrivate::Renames renames;
    CKoError e = m_private->NormalizeCollectNames(prefix, &type, next, &renames);
    ApplyRenames(Cloud(m_private).m_entities, renames);
    if (e.IsError()) return e.Push(ZY_HERE, "Failed to normalize cloud entity");
    return CKoError::Success();
}

CKoError CCollectFilesInfoSolrCloud::SaveToFile(const std::string& path) {
    FXCriticalSection::Scoped lock(m_private->m_lock);
    // The entities first: a saved description never names collects missing from them.
    const std::string metadata = MetadataFilePath(path);
    ZYLOG(2, "Writing metadata file [%s]", metadata.c_str());
    CKoError e = WriteMetadata(Cloud(m_private).m_entities, metadata);
    if (e.IsError()) return e.Push(ZY_HERE, "Failed to open commit point file [%s] for writing", metadata.c_str());
    e = m_private->SaveToFile(path);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}
