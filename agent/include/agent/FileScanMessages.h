// The collect-files description the scan hands to the backup: which collect files a job wrote,
// grouped by physical disk and volume, or by component. It travels as message 39, a small
// self-describing XML document:
//
//   <Message id="39" type="FileScan::CollectInfo">
//     <Disk name="UnknownPhysicalMedia" isUnc="0" preferred="1">
//       <Volume path="/data">
//         <Collect path="/jr/NumColInc1.zyf" type="0"/>
//       </Volume>
//     </Disk>
//     <Component name="SystemState" useThreadPool="1">
//       <Collect path="/jr/NumColInc9.zyf" type="2"/>
//     </Component>
//   </Message>
//
// Disks, volumes, components and collects keep their order. Names and paths are byte strings:
// bytes that XML cannot carry (controls, bytes that are not UTF-8) and "%" itself are written as
// "%XX", so every path comes back exactly as it went in.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/KoError.h"

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
    bool operator==(const Collect& o) const { return type == o.type && path == o.path; }
};

struct VolumeCollectInfo {
    std::string path;
    std::vector<Collect> collects;
    bool operator==(const VolumeCollectInfo& o) const { return path == o.path && collects == o.collects; }
};

struct DiskCollectInfo {
    std::string name;        // the physical medium; "UnknownPhysicalMedia" when not known
    bool isUnc = false;      // the volumes are network paths
    bool preferred = false;  // the disk's group gets the higher base priority when streams are assigned
    std::vector<VolumeCollectInfo> volumes;
    bool operator==(const DiskCollectInfo& o) const {
        return name == o.name && isUnc == o.isUnc && preferred == o.preferred && volumes == o.volumes;
    }
};

struct ComponentCollectInfo {
    std::string name;
    bool useThreadPool = false;  // the component's collects are read by the parallel reader pool
    std::vector<Collect> collects;
    bool operator==(const ComponentCollectInfo& o) const {
        return name == o.name && useThreadPool == o.useThreadPool && collects == o.collects;
    }
};

struct CollectInfo {
    static constexpr uint32_t kMessageId = 39;
    static constexpr const char* kMessageType = "FileScan::CollectInfo";

    std::vector<DiskCollectInfo> disks;
    std::vector<ComponentCollectInfo> components;

    bool operator==(const CollectInfo& o) const { return disks == o.disks && components == o.components; }

    // The message document, compact, without an XML declaration.
    CKoError SerializeToString(std::string& out) const;
    // Replaces the content with the message in `text`. Strict: another message id or type, an
    // element or value that does not belong, or a missing field is Win32 code 13 (invalid data)
    // naming what is wrong; text that is not XML keeps the parser's code. On failure the content
    // is left as it was.
    CKoError ParseFromString(const std::string& text);
};

// A content-index cloud entity backed up through collect files: its name and its collect paths.
struct SolrCloudEntity {
    std::string name;
    std::vector<std::string> collects;
    bool operator==(const SolrCloudEntity& o) const { return name == o.name && collects == o.collects; }
};

// The byte-string escaping of the message's values, for other documents that carry paths.
std::string EncodeMessageText(std::string_view bytes);
// False when a "%" is not followed by two hexadecimal digits.
bool DecodeMessageText(std::string_view text, std::string& bytes);

}  // namespace FileScan
