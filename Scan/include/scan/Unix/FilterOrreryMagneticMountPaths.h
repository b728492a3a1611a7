// The disk-library mount paths (and moved ones) of the media agent of an instance.
#pragma once

#include <string>

#include "scan/content/EnumeratedFilters.h"

class CFilterOrreryMagneticMountPaths : public CEnumeratedFilters {
public:
    using CEnumeratedFilters::Process;
    explicit CFilterOrreryMagneticMountPaths(const std::string& instanceName) : m_instanceName(instanceName) {}
    CKoError Process() override;

private:
    std::string m_instanceName;
};
