// Stand-ins for the agent's platform services that the library asks about its host: who the
// local client is, whether the process runs as the agent's service, and where job results live.
// They read the per-machine settings, section "Agent".
#pragma once

#include <string>

#include "core/KoError.h"

class ZYPI_Focus {
public:
    // True when the process runs as the agent's service ($SCAN_AS_SERVICE=1, or set in-process).
    static bool AmIAService();
    static void SetIsService(bool isService);
    // The client name: setting "ClientName", else the host name.
    static std::string getFocusClientName(bool local);
};

class ZYPI_CommClient {
public:
    // The job-results folder of a client: setting "JobResultsDir"; a missing setting is Win32 1168.
    static CKoError getJobResultsDirectory(const std::string& clientName, std::string& out);
};
