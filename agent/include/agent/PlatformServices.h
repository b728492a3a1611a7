// Stand-ins for the agent's platform services that the library asks about its host: who the
// local client is, whether the process runs as the agent's service, where job results live,
// which product instances, clients and packages are installed, which production mounts and
// single-instance database folders exist. They read the per-machine settings, section "Agent"
// (lists are comma-separated):
//   ClientName, JobResultsDir, JobResultsDir.<client>, Instances (default "Instance001"),
//   InstalledPackages, ClientId, DatabasePaths, ProductionMount.<name>, CLDBRoot, SIDBFolders;
// and per instance, section "Agent:<instance>": ActiveClients (default: the focus client).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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
    // The job-results folder of a client: setting "JobResultsDir.<client>", else "JobResultsDir";
    // a missing setting is Win32 1168.
    static CKoError getJobResultsDirectory(const std::string& clientName, std::string& out);
    // The job-results folder of one subclient: "<client's job-results folder>/<hubCell>/<appId>",
    // made when missing.
    static CKoError getSubclientDirectory(unsigned hubCellId, unsigned appId, const std::string& clientName,
                                          std::string& out);
};

class ZYPI_PlatformInfo {
public:
    // The machine's product instances.
    static CKoError GetAllInInstances(std::vector<std::string>& instances);
    // The clients an instance serves.
    static CKoError getActiveClientList(const std::string& instance, std::vector<std::string>& clients);
    // The ids of the installed packages (none when the setting is absent); a malformed list is Win32 13.
    static CKoError getInstalledPackages(std::vector<int>& packages);
    // The management server's id of a local client; a missing setting is Win32 1168.
    static CKoError getLocalClientId(const std::string& clientName, uint32_t& clientId);
    // Database paths the management server lists for a client.
    static CKoError getDatabasePathsForClient(uint32_t clientId, std::vector<std::string>& paths);
    // A comma-separated list setting, items trimmed, empty items dropped; a missing key is Win32 1168.
    static CKoError getList(const std::string& section, const std::string& key, std::vector<std::string>& out);
};

// Mounts that production data is registered under ("SnapVolumeMounts", "UnifoldSnap").
class ZYProductionMounts {
public:
    // False when none is registered under the name.
    static bool getMount(const std::string& name, std::string& mountPoint);
};

// The single-instance (deduplication) database client.
class ZYSIDBClient {
public:
    static CKoError getCLDBRootFolder(const std::string& clientName, std::string& folder);
    static CKoError getSIDBFolders(std::vector<std::string>& folders);
};
