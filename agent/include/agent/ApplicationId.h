// Stand-ins for the agent's application id and subclient configuration: just enough for the
// library to learn a subclient's application type and content.
//
// Id text: fields "key=value" joined by ";", for example
//   client=host1;app=FileSystem;appType=29;backupset=default;subclient=proxy1
// Keys: client, app, appType (a decimal number), backupset, subclient; each at most once, any
// order, all optional. Values cannot hold ";".
//
// Subclient content store: the folder named by the setting "SubclientConfigDir" (section
// "Agent") holds one text file per subclient, "<client>/<backupset>/<subclient>.content" below
// it, with one content entry per line (LF-terminated; empty lines are skipped; every other byte,
// including 0x15, belongs to the entry).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/KoError.h"

// A subclient's content entries, in file order.
struct BackupContent {
    std::vector<std::string> files;
};

class Subclient {
public:
    Subclient(std::string clientName, std::string backupsetName, std::string subclientName, std::string contentFile)
        : m_clientName(std::move(clientName)),
          m_backupsetName(std::move(backupsetName)),
          m_subclientName(std::move(subclientName)),
          m_contentFile(std::move(contentFile)) {}

    const std::string& getClientName() const { return m_clientName; }
    const std::string& getBackupsetName() const { return m_backupsetName; }
    const std::string& getSubclientName() const { return m_subclientName; }
    // Where the content entries are kept.
    const std::string& getContentFile() const { return m_contentFile; }

private:
    std::string m_clientName;
    std::string m_backupsetName;
    std::string m_subclientName;
    std::string m_contentFile;
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
    // "=", an unknown or repeated key, or an appType that is not a number is code 13.
    CKoError getApplicationId();

    const std::string& getIdString() const { return m_idString; }
    int getAppType() const { return m_appType; }
    const std::string& getClientName() const { return m_clientName; }
    const std::string& getAppName() const { return m_appName; }
    const std::string& getBackupsetName() const { return m_backupsetName; }
    const std::string& getSubclientName() const { return m_subclientName; }

    // The subclient the (parsed) id names. An id without client, backup set or subclient is Win32
    // code 1168; so is a missing "SubclientConfigDir" setting. A name that would leave the store
    // folder ("/" in it, ".", "..") is code 13. The content file itself is only read by getFiles.
    CKoError getSubclient(std::shared_ptr<Subclient>& subclient) const;

private:
    std::string m_idString;
    int m_appType = 0;
    std::string m_clientName;
    std::string m_appName;
    std::string m_backupsetName;
    std::string m_subclientName;
};
