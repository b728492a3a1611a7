// The single-instance (deduplication) database folders of the client: its CLDB root and SIDB
// folders. The only source with a name, so the only one a user can switch off.
#pragma once

#include <string>

#include "scan/content/EnumeratedFilters.h"

class CFilterSingleInstanceDatabaseFiles : public CEnumeratedFilters {
public:
    using CEnumeratedFilters::Process;
    static constexpr const char* kName = "SingleInstanceDatabaseFiles";

    CFilterSingleInstanceDatabaseFiles() = default;
    CFilterSingleInstanceDatabaseFiles(const std::string& clientName, bool calledFromService)
        : CEnumeratedFilters(clientName, calledFromService) {}
    CKoError Process() override;
    std::string GetFilterName() const override { return kName; }
};
