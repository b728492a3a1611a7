// The content mapper that live-sync replication fills.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "core/KoError.h"
#include "scan/content/ContentMapper.h"

// A ContentMapper whose table live-sync replication fills entry by entry.
class CLiveSyncRepContentMapper : public ContentMapper {
public:
    // Stores the host path under the proxy path; `flags` are not used. Returns 0.
    virtual int AddContentMapEntry(const std::string& hostPath, const std::string& proxyPath, unsigned int flags);
    // Enables mapping; no application type is consulted.
    CKoError Initialize();
};
