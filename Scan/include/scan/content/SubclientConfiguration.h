// A job's view of its backup set as the management server defines it: the raw content of every
// subclient, the extension groupings, the content added since the last backup, and each
// subclient's filters and exceptions by type. Copies share one state.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "core/KoError.h"
#include "core/TimeStamp.h"
#include "scan/content/ExtensionGroupings.h"
#include "scan/content/SubclientInfo.h"

class ApplicationId;
class Subclient;
class CSubclientConfigurationPrivate;

class CSubclientConfiguration {
public:
    CSubclientConfiguration();
    virtual ~CSubclientConfiguration();

    // Loads, in order, the raw content, the content new since the last backup, and the filters of
    // types 2, 4, 3 and 5; the first failure is returned. `flag` is passed to the server's
    // backup-set query.
    virtual CKoError Load(ApplicationId& appId, Subclient* subclient, bool flag);

    void SetQueryTime(CTimeStamp time);
    CTimeStamp GetQueryTime() const;
    // The subclient's last backup start time becomes the query time.
    CKoError SetLastBackupTimeAsQueryTime(Subclient* subclient);

    std::shared_ptr<CExtensionGroupings> GetExtensionGroupings() const;
    const std::map<uint32_t, CSubclientInfo>& GetSubclients() const;
    const std::vector<CContentItem>& GetNewContentSinceLastBackup() const;

    // The steps of Load.
    CKoError GetRawContent(ApplicationId& appId, Subclient* subclient, bool flag);
    CKoError GetRawNewContentSinceLastBackup(Subclient* subclient);
    CKoError GetRawFilterItems(Subclient* subclient, int type);

private:
    std::shared_ptr<CSubclientConfigurationPrivate> m_p;
};
