// The product's own folders: certificates, job control, the temporary folder, log folders
// (filtered for laptop backups, taken back otherwise), and home, job-results and index-cache
// folders when product-folder filtering is on.
#pragma once

#include <cstdint>
#include <string>

#include "scan/content/EnumeratedFilters.h"

class CFilterOrreryFolders : public CEnumeratedFilters {
public:
    using CEnumeratedFilters::Process;
    CFilterOrreryFolders(const std::string& instanceName, const std::string& clientName, uint32_t backupLevel,
                         const std::string& jobResultsFolder, bool laptopBackup, bool flag)
        : CEnumeratedFilters(clientName, false),
          m_instanceName(instanceName),
          m_backupLevel(backupLevel),
          m_jobResultsFolder(jobResultsFolder),
          m_laptopBackup(laptopBackup),
          m_flag(flag) {}
    CKoError Process() override;

private:
    std::string m_instanceName;
    uint32_t m_backupLevel;
    std::string m_jobResultsFolder;
    bool m_laptopBackup;
    bool m_flag;
};
