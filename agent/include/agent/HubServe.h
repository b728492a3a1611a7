// The management server ("HubServe") as the agent asks it about subclients, and its stand-in:
// a store of subclient files (agent/SubclientFile.h) that it serves the server's documents from.
//
// The store is a folder, "<client>/<backupset>/<subclient>.subclient" below it, or one subclient
// file alone (then every question about a subclient is about that one). The process's server
// is the one installed with SetCurrent, else a folder store at the setting "SubclientConfigDir"
// of section "Agent". Its hub-cell id is the setting "HubCellId" (default 2).
//
// A server that cannot be reached answers errno EHOSTUNREACH (IsUnreachable): a store folder
// that is missing or not a folder, or the setting "HubServeOffline" set to 1. A subclient file
// that is missing or wrong is not that: it is an error naming the file (and line).
//
// Documents (values escaped as FileScan messages escape them, "%XX"):
//   backup-set content   <App_BackupSetInfo><subClientList>
//                          <subClientEntity subclientId="17" subclientName="shares"/>
//                          <content path="/srv/data"/> ...
//                        </subClientList> ...</App_BackupSetInfo>
//   extension groupings  <App_FileTypesAndExtensionsResp><fileTypeExtensionsList fileType="Images">
//                          <extensionList val="*.jpg"/> ...</fileTypeExtensionsList> ...
//                        </App_FileTypesAndExtensionsResp>
//   modified files       <App_GetModifiedFileListResp><files val="/srv/new"/> ...</App_GetModifiedFileListResp>
//                        (an empty text when nothing was added)
// Filters: the subclient's "filter" lines are its folder filters (type 3), its "exception"
// lines its folder exceptions (type 2); the file types 4 and 5 are empty.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "agent/SubclientFile.h"
#include "core/KoError.h"

// Filter types of the server's filter queries.
constexpr int ZY_YESDIRS_BACKUP_FILTERS = 2;   // folder exceptions
constexpr int ZY_NODIRS_BACKUP_FILTERS = 3;    // folder filters
constexpr int ZY_YESFILES_BACKUP_FILTERS = 4;  // file exceptions
constexpr int ZY_NOFILES_BACKUP_FILTERS = 5;   // file filters

struct ZYSubclientKey {
    std::string client, backupset, subclient;
};

class ZYHubServe {
public:
    virtual ~ZYHubServe() = default;

    static std::shared_ptr<ZYHubServe> Current();
    // Installs the process's server; null goes back to the store the settings name.
    static void SetCurrent(std::shared_ptr<ZYHubServe> hub);
    static bool IsUnreachable(const CKoError& e);
    // The hub-cell id this server answers for.
    static unsigned HubCellId();

    // Definitions. A subclient file that is missing is Win32 2, one that is wrong Win32 13, both
    // naming the file. `checkContent`: a content path that does not exist is an error too.
    virtual CKoError GetSubclient(const ZYSubclientKey& key, ZYSubclientDefinition& out, bool checkContent = true) = 0;
    virtual CKoError FindSubclient(unsigned hubCellId, unsigned appId, ZYSubclientKey& key) = 0;
    virtual CKoError GetBackupset(const ZYSubclientKey& key, std::vector<ZYSubclientDefinition>& out) = 0;

    // The documents and answers the agent asks for.
    CKoError GetFSBackupsetContent(const ZYSubclientKey& key, int64_t queryTime, bool flag, std::string& backupsetXml,
                                   std::string& extensionXml);
    CKoError GetModifiedFileList(const std::string& request, std::string& response);
    CKoError GetFilters(const ZYSubclientKey& key, int type, int64_t asOf, std::vector<std::string>& out);
    CKoError GetRawFiles(const ZYSubclientKey& key, std::vector<std::string>& out);
    CKoError GetNumberOfStreams(const ZYSubclientKey& key, int& streams);
    CKoError GetLastBackupStartTime(const ZYSubclientKey& key, int64_t& unixTime);
};

// The stand-in: a folder of subclient files, or one file.
class ZYFileHubServe : public ZYHubServe {
public:
    static std::shared_ptr<ZYFileHubServe> ForFolder(std::string folder);
    static std::shared_ptr<ZYFileHubServe> ForFile(std::string file);

    CKoError GetSubclient(const ZYSubclientKey& key, ZYSubclientDefinition& out, bool checkContent = true) override;
    CKoError FindSubclient(unsigned hubCellId, unsigned appId, ZYSubclientKey& key) override;
    CKoError GetBackupset(const ZYSubclientKey& key, std::vector<ZYSubclientDefinition>& out) override;

    const std::string& Location() const { return m_location; }
    bool IsOneFile() const { return m_oneFile; }

private:
    ZYFileHubServe(std::string location, bool oneFile) : m_location(std::move(location)), m_oneFile(oneFile) {}
    CKoError CheckReachable() const;
    CKoError PathOf(const ZYSubclientKey& key, std::string& path) const;

    std::string m_location;
    bool m_oneFile;
};
