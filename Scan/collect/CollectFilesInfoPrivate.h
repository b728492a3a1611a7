// The data of a collect-files description, shared by the plain and the cloud variant.
#pragma once

#include <memory>
#include <new>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "agent/FileScanMessages.h"
#include "scan/collect/CollectFilesInfo.h"
#include "core/KoError.h"
#include "core/Sync.h"

class CCollectFilesInfoPrivate {
public:
    virtual ~CCollectFilesInfoPrivate() = default;

    // (old path, new path) of every collect a normalisation moved.
    using Renames = std::vector<std::pair<std::string, std::string>>;

    // Calls f(collect) for every collect, disks first, then components.
    template <class F>
    void ForEachCollect(F&& f) {
        for (auto& disk : m_info.disks)
            for (auto& volume : disk.volumes)
                for (auto& collect : volume.collects) f(collect);
        for (auto& component : m_info.components)
            for (auto& collect : component.collects) f(collect);
    }

    CKoError AddDiskCollect(const std::string& path, const FileScan::Collect& collect);
    CKoError AddComponentCollect(const std::string& component, const FileScan::Collect& collect, bool useThreadPool);
    CKoError ReplaceCollectWithParts(const std::string& name, const std::set<std::string>& parts);
    CKoError RenameCollect(const std::string& from, const std::string& to);
    // `type` null: every collect.
    CKoError NormalizeCollectNames(const std::string& prefix, const FileScan::CollectFileType* type, int& next,
                                   Renames* renames);
    CKoError Serialize(std::string& out) const;
    CKoError SaveToFile(const std::string& path) const;

    FXCriticalSection m_lock;
    FileScan::CollectInfo m_info;
};

class CCollectFilesInfoSolrCloudPrivate : public CCollectFilesInfoPrivate {
public:
    std::vector<FileScan::SolrCloudEntity> m_entities;
};

// Allocates a description without throwing and initialises it: the one way both description
// classes are made. `make` is `new (std::nothrow)` of the class, written where its constructor
// is accessible.
template <class Make>
CKoError CreateInitializedCollectFilesInfo(std::shared_ptr<CCollectFilesInfo>& out, Make make) {
    std::shared_ptr<CCollectFilesInfo> info(make());
    if (!info)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "Cannot allocate a collect files description");
    CKoError e = info->Initialize();
    if (e.IsError()) return e.Push(ZY_HERE);
    out = std::move(info);
    return CKoError::Success();
}
