// Data files of database applications that their own agents protect (DB2, Oracle, SAP for
// Oracle, MySQL, PostgreSQL, Informix), when the setting "nFilterApplicationFiles" asks for it.
#pragma once

#include <string>
#include <vector>

#include "scan/content/EnumeratedFilters.h"

class CFilterApplicationSpecificFiles : public CEnumeratedFilters {
public:
    using CEnumeratedFilters::Process;
    explicit CFilterApplicationSpecificFiles(const std::string& clientName) : CEnumeratedFilters(clientName, false) {}
    CKoError Process() override;

    // Whether a database agent is installed (Win32 1168 when none is).
    CKoError GetApplicationDAX();
    CKoError ProcessApplicationFilters(uint32_t clientId, std::vector<std::string>& paths);
    // Each existing path, by its physical path: a folder as a folder filter, anything else as a file filter.
    CKoError AddFilterApplicationFiles(const std::vector<std::string>& paths);
};
