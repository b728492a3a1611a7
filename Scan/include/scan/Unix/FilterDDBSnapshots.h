// Deduplication-database snapshots below every active client's job-results folder.
#pragma once

#include "scan/content/EnumeratedFilters.h"

class CFilterDDBSnapshots : public CEnumeratedFilters {
public:
    using CEnumeratedFilters::Process;
    CKoError Process() override;
};
