// System-protected files: this platform has none to leave out.
#pragma once

#include "scan/content/EnumeratedFilters.h"

class CFilterSystemProtectedFiles : public CEnumeratedFilters {
public:
    using CEnumeratedFilters::Process;
    CKoError Process() override { return CKoError::Success(); }
};
