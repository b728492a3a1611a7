// The collect-files description: the scan's list of the collect files it wrote, grouped by disk
// and volume or by component. The scan saves it to a file; the backup loads it and populates its
// collect info manager from it.
#pragma once

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "agent/FileScanMessages.h"
#include "core/KoError.h"

class CCollectFilesInfoPrivate;

// Copies of the shared pointer share one description; every operation holds its lock.
class CCollectFilesInfo {
public:
    // Made only through CreateCollectFileInfo.
    static CKoError CreateCollectFileInfo(std::shared_ptr<CCollectFilesInfo>& out);

    virtual ~CCollectFilesInfo();
    CCollectFilesInfo(const CCollectFilesInfo&) = delete;
    CCollectFilesInfo& operator=(const CCollectFilesInfo&) = delete;

    virtual CKoError Initialize();
    virtual CKoError CreateCollectFilesInfoPrivate();

    // Paths of the collects: disks (disk, volume, collect order), then components.
    virtual void GetAllCollects(std::vector<std::string>& collects);
    // Those that are not file-extent eligible.
    virtual void GetCollectsEligibleForMultipleStreams(std::vector<std::string>& collects);
    virtual void GetCollectsByType(FileScan::CollectFileType type, std::vector<std::string>& collects);

    // Appends to volume `path` of disk "UnknownPhysicalMedia" (both made when missing).
    virtual CKoError AddDiskCollect(const std::string& path, FileScan::Collect& collect);
    // Appends to the component (made when missing, with the thread-pool flag).
    virtual CKoError AddComponentCollect(const std::string& component, FileScan::Collect& collect,
                                         bool useThreadPool);
    // The named collect is replaced, where it stands, by one collect of its type per part.
    virtual CKoError ReplaceCollectWithParts(const std::string& name, const std::set<std::string>& parts);
    // Renames the entry only; a name another collect already has is refused.
    virtual CKoError RenameCollect(const std::string& from, const std::string& to);
    // Renames every collect file on disk, in GetAllCollects order, to prefix + next + ".zyf"
    // (next counting up) in its own folder, or to that path when the prefix is absolute, and
    // updates the entries. Renames that would overwrite a collect still to be renamed go through
    // temporary names; one that would overwrite a collect left alone is refused before anything
    // moves. `next` advances only on success.
    virtual CKoError NormalizeAllCollectNames(const std::string& prefix, int& next);
    virtual CKoError NormalizeCollectNamesByType(const std::string& prefix, FileScan::CollectFileType type,
                                                 int& next);
    virtual CKoError Serialize(std::string& out);
    // Written under a temporary name and renamed over `path`: a crash leaves the old description
    // or the new one, never part of one.
    virtual CKoError SaveToFile(const std::string& path);

    // The reading side: replaces the content with a saved description.
    CKoError Parse(const std::string& text);
    CKoError LoadFromFile(const std::string& path);
    // A copy of the content, to populate a collect info manager from.
    void GetCollectInfo(FileScan::CollectInfo& info);

protected:
    CCollectFilesInfo() = default;

    std::shared_ptr<CCollectFilesInfoPrivate> m_private;
};
