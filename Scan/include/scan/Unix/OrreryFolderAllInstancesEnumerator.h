// The product's folders of every instance on the machine: home, log, job-results (per active
// client) and index-cache folders. An instance whose folder cannot be had is logged and skipped.
#pragma once

#include <string>
#include <vector>

class COrreryFolderAllInstancesEnumerator {
public:
    // The instances are read once, here.
    COrreryFolderAllInstancesEnumerator();

    void EnumerateHomeFolders(std::vector<std::string>& folders) const;
    void EnumerateLogFolders(std::vector<std::string>& folders) const;
    void EnumerateJRFolders(std::vector<std::string>& folders) const;
    void EnumerateIdxCacheFolders(std::vector<std::string>& folders) const;

    const std::vector<std::string>& GetInstances() const { return m_instances; }

private:
    std::vector<std::string> m_instances;
};
