// The collect-files description the scan hands to the backup: which collect files a job wrote,
// grouped by physical disk and volume, or by component. Plain data; its wire form belongs to the
// message library.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace FileScan {

// The description's own numbering of collect file types; the collect registry maps 1 to its 2048,
// 2 to its 4096 and everything else to its 1.
enum CollectFileType : uint32_t {
    COLLECT_FILE_TYPE_REGULAR = 0,
    COLLECT_FILE_TYPE_FILE_EXTENT = 1,  // file-extent eligible; handed to streams by a separate call
    COLLECT_FILE_TYPE_SECONDARY = 2,
};

// One collect file. `path` names the file; readers that know the job-results folder take its
// last component.
struct Collect {
    std::string path;
    CollectFileType type = COLLECT_FILE_TYPE_REGULAR;

    Collect() = default;
    Collect(std::string p, CollectFileType t) : path(std::move(p)), type(t) {}
};

struct VolumeCollectInfo {
    std::string path;
    std::vector<Collect> collects;
};

struct DiskCollectInfo {
    std::string name;        // the physical medium; "UnknownPhysicalMedia" when not known
    bool isUnc = false;      // the volumes are network paths
    bool preferred = false;  // the disk's group gets the higher base priority when streams are assigned
    std::vector<VolumeCollectInfo> volumes;
};

struct ComponentCollectInfo {
    std::string name;
    bool useThreadPool = false;  // the component's collects are read by the parallel reader pool
    std::vector<Collect> collects;
};

struct CollectInfo {
    std::vector<DiskCollectInfo> disks;
    std::vector<ComponentCollectInfo> components;
};

}  // namespace FileScan
