// The system mount table.
#pragma once

#include <string>
#include <vector>

#include "core/KoError.h"

struct ZyMntEnt {
    std::string device;      // "/dev/sda1", "server:/export", "tmpfs"
    std::string mountPoint;  // "/", "/mnt/data"
    std::string fsType;      // "ext4", "nfs4", "tmpfs"
    std::string options;     // "rw,relatime"
};

class ZyMntTab {
public:
    // The mounts of this process's namespace, in mount order. `table` defaults to /proc/self/mounts.
    static CKoError getAll(std::vector<ZyMntEnt>& mounts, const std::string& table = "/proc/self/mounts");
};
