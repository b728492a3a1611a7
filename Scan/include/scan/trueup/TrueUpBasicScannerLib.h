// The TrueUp stub scan of a client: removes the stub GUID files of an earlier run, then walks the
// local content of the subclients it was given (the NAS content has no stubs to find here) and
// counts what it inspected.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "core/KoError.h"
#include "scan/trueup/TrueUpBasicScannerOps.h"

class CTrueUpBasicScannerLib {
public:
    CTrueUpBasicScannerLib(unsigned int clientId, unsigned int subclientId);

    // The content of one subclient of one backup set (what the platform's subclient lists give).
    void AddSubclient(uint32_t backupSetId, uint32_t subclientId, std::vector<std::string> localPaths);
    void SetJobResultsFolder(const std::string& folder) { m_jobResultsFolder = folder; }

    CKoError Initialize();
    CKoError Run();
    CKoError SendStubResultsToIndex() { return CKoError::Success(); }

    int64_t GetTotalFilesInspected() const { return m_ops.GetTotalFilesInspected(); }
    const std::string& GetJobResultsFolder() const { return m_jobResultsFolder; }

private:
    CKoError PopulateSubclientInfo();
    CKoError CleanupPreviousOutput();
    CKoError ScanLocalPaths();
    CKoError ScanNasPaths();

    struct SSubclient {
        uint32_t backupSetId;
        uint32_t subclientId;
        std::vector<std::string> paths;
    };
    unsigned int m_clientId;
    unsigned int m_subclientId;
    std::string m_jobResultsFolder;
    std::vector<SSubclient> m_subclients;
    std::map<uint32_t, uint32_t> m_subclientToBackupSet;
    CTrueUpUnixBasicScannerOps m_ops;
};
