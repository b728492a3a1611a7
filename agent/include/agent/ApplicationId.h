// Stand-ins for the agent's application id and subclient objects: the library learns a
// subclient's application type, content, filters and properties through them, and they ask the
// management server (agent/HubServe.h).
//
// Id text, one of two forms:
//   "HUBCELL:APPID", two decimal numbers, for example "2:17": the subclient the management
//   server knows by that application id;
//   fields "key=value" joined by ";", for example
//     client=host1;app=FileSystem;appType=29;backupset=default;subclient=proxy1
//   Keys: client, app, appType (a decimal number), backupset, subclient; each at most once, any
//   order, all optional. Values cannot hold ";".
//
// Subclient content store: the folder named by the setting "SubclientConfigDir" (section
// "Agent") holds one text file per subclient, "<client>/<backupset>/<subclient>.content" below
// it, with one content entry per line (LF-terminated; empty lines are skipped; every other byte,
// including 0x15, belongs to the entry).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "agent/HubServe.h"
#include "core/KoError.h"

// A subclient's content entries, in file order.
struct BackupContent {
    std::vector<std::string> files;
};

class Subclient {
public:
    // A subclient known only by its content file (not configurable: the server is not asked).
    Subclient(std::string clientName, std::string backupsetName, std::string subclientName, std::string contentFile)
        : m_key{std::move(clientName), std::move(backupsetName), std::move(subclientName)},
          m_contentFile(std::move(contentFile)) {}
    // A subclient the management server `hub` defines (configurable).
    Subclient(ZYSubclientKey key, std::shared_ptr<ZYHubServe> hub, std::string contentFile = std::string())
        : m_key(std::move(key)), m_contentFile(std::move(contentFile)), m_hub(std::move(hub)) {}

    const std::string& getClientName() const { return m_key.client; }
    const std::string& getBackupsetName() const { return m_key.backupset; }
    const std::string& getSubclientName() const { return m_key.subclient; }
    const ZYSubclientKey& getKey() const { return m_key; }
    // Where the content entries are kept.
    const std::string& getContentFile() const { return m_contentFile; }

    // A configurable subclient answers the questions below from its server; the others answer
    // Win32 50 (not supported).
    bool isConfigurable() const { return m_hub != nullptr; }
    const std::shared_ptr<ZYHubServe>& getHub() const { return m_hub; }

    // The subclient's application id and name as the server defines them.
    CKoError getSubclientId(uint32_t& id) const;
    CKoError getSubclientName(std::string& name) const;
    // The backup-set content and extension-grouping documents (agent/HubServe.h), for the
    // application id's five fields as of `queryTime`.
    CKoError getFSBackupsetContent(unsigned hubCellId, unsigned appId, const std::string& clientName,
                                   const std::string& backupsetName, const std::string& subclientName,
                                   int64_t queryTime, bool flag, std::string& backupsetXml,
                                   std::string& extensionXml) const;
    // Filters of one type (ZY_*_BACKUP_FILTERS) as of `asOf`, and as configured now.
    CKoError getFilters(int type, int64_t asOf, std::vector<std::string>& filters) const;
    CKoError getRawFilters(int type, std::vector<std::string>& filters) const;
    CKoError getRawFiles(std::vector<std::string>& files) const;
    // The configured number of data readers, 0 for automatic.
    CKoError getNumberOfStreams(int& streams) const;
    // Seconds since 1970; 0 when it was never backed up.
    CKoError getLastBackupStartTime(int64_t& unixTime) const;

private:
    CKoError NotConfigurable(const FXCodeLocation& loc) const;

    ZYSubclientKey m_key;
    std::string m_contentFile;
    std::shared_ptr<ZYHubServe> m_hub;
};

class ApplBackupContent {
public:
    explicit ApplBackupContent(const Subclient& subclient) : m_contentFile(subclient.getContentFile()) {}
    // Reads the content entries; a missing or unreadable file is an errno error.
    CKoError getFiles(BackupContent& content) const;

private:
    std::string m_contentFile;
};

class ApplicationId {
public:
    ApplicationId() = default;
    explicit ApplicationId(std::string idString) : m_idString(std::move(idString)) {}

    // Parses the id text into the fields below. An empty text is Win32 code 87; a field without
    // "=", an unknown or repeated key, an appType that is not a number, or a "HUBCELL:APPID" of
    // anything but two numbers is code 13.
    CKoError getApplicationId();

    // The numeric form's fields (0 for the other form).
    unsigned getHubCellId() const { return m_hubCellId; }
    unsigned getAppId() const { return m_appId; }

    const std::string& getIdString() const { return m_idString; }
    int getAppType() const { return m_appType; }
    const std::string& getClientName() const { return m_clientName; }
    const std::string& getAppName() const { return m_appName; }
    const std::string& getBackupsetName() const { return m_backupsetName; }
    const std::string& getSubclientName() const { return m_subclientName; }

    // The subclient the (parsed) id names. The numeric form asks the management server
    // (ZYHubServe::Current()) which subclient has the application id; its errors pass on. In the
    // other form, an id without client, backup set or subclient is Win32 code 1168; so is a
    // missing "SubclientConfigDir" setting. A name that would leave the store folder ("/" in it,
    // ".", "..") is code 13. The content file itself is only read by getFiles.
    CKoError getSubclient(std::shared_ptr<Subclient>& subclient) const;

private:
    std::string m_idString;
    int m_appType = 0;
    std::string m_clientName;
    std::string m_appName;
    std::string m_backupsetName;
    std::string m_subclientName;
    unsigned m_hubCellId = 0;
    unsigned m_appId = 0;
};
