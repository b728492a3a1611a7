// Stand-in for the agent's file-system-agent object: what one product instance on this machine
// says about its folders and filtering switches. It reads the per-machine settings, section
// "Agent:<instance>" after setFocus:
//   HomeDir, JobControlDir, LogDir, IndexCacheDir      folders (absent: not known)
//   EnableDirFiltering=1                               filter the product's own folders
//   DisableMountPathFiltering=1                        do not filter disk-library mount paths
//   MagneticMountPaths, MovedMagneticMountPaths        comma-separated paths
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "core/KoError.h"

class ZYFileSystemAgent {
public:
    // Focuses on an installed instance (ZYPI_PlatformInfo::GetAllInInstances); another name is
    // Win32 1168.
    CKoError setFocus(const std::string& instance);
    const std::string& getFocus() const { return m_instance; }

    // The instance's base home: empty when not configured (null only without a focus).
    std::optional<std::string> getBaseHomeDirectory() const {
        if (m_instance.empty()) return std::nullopt;
        return Folder("HomeDir").value_or(std::string());
    }
    std::optional<std::string> getOrreryDirectory() const { return Folder("HomeDir"); }
    std::optional<std::string> getJobControlDirectory() const { return Folder("JobControlDir"); }
    std::optional<std::string> getLogFileDirectory() const { return Folder("LogDir"); }
    std::optional<std::string> getIndexCacheDirectory() const { return Folder("IndexCacheDir"); }

    bool getEnableOrreryDirFiltering() const { return Switch("EnableDirFiltering"); }
    bool isMountPathFilteringDisabled() const { return Switch("DisableMountPathFiltering"); }

    int getMagneticMountPathCount() const { return Count("MagneticMountPaths"); }
    // Path `index` into `buffer`; false when there is none or it does not fit.
    bool getMagneticMountPath(int index, char* buffer, size_t size) const {
        return PathAt("MagneticMountPaths", index, buffer, size);
    }
    int getMovedMagneticMountPathCount() const { return Count("MovedMagneticMountPaths"); }
    bool getMovedMagneticMountPath(int index, char* buffer, size_t size) const {
        return PathAt("MovedMagneticMountPaths", index, buffer, size);
    }

private:
    std::string Section() const { return "Agent:" + m_instance; }
    std::optional<std::string> Folder(const char* key) const;
    bool Switch(const char* key) const;
    int Count(const char* key) const;
    bool PathAt(const char* key, int index, char* buffer, size_t size) const;

    std::string m_instance;
};
