// What a scan job takes from its subclient: the content roots, the filters and exceptions with
// their sources, the number of data readers with the reason, and whether the content came from
// the management server or, because it could not be reached, from the local copy
// "BackupContent.xml". A quick job without a subclient gives content and patterns directly.
// System filters are added by the caller (CSystemFilterEnumerator::AppendTo in Scan/Unix).
//
// Describe() gives the lines a user reads ("fsscan filters"):
//   content    /srv/data
//   filter     /srv/data/cache   user
//   filter     /proc             system:FilesNotToBackup
//   exception  /srv/data/keep    user
//   readers    4                 Optimal number of Data Readers: 4
//   origin     server
#pragma once

#include <string>
#include <vector>

#include "core/KoError.h"
#include "scan/content/EffectiveFilters.h"
#include "scan/content/SubclientContentAPI.h"

class CSubclientJobSetup {
public:
    struct SReaders {
        int count = 0;
        std::string reason;
    };

    // The subclient's content, filters, exceptions and readers for a job whose files live in
    // `jobResultsFolder` (empty: the platform's folder for the subclient). Errors of the
    // definition (a wrong subclient file, say) are returned as they are: they name the file and
    // line.
    CKoError LoadSubclient(unsigned hubCellId, unsigned appId, const std::string& clientName,
                           const std::string& jobResultsFolder, bool multiNode = false, int backupNodes = 0);

    // A quick job: content and tar- or rsync-style patterns.
    void AddContent(const std::string& path) { m_content.push_back(path); }
    CKoError AddQuickFilter(const std::string& pattern);
    CKoError AddQuickException(const std::string& pattern);
    // Readers of a job without a subclient: automatic.
    CKoError ChooseAutomaticReaders(bool multiNode = false, int backupNodes = 0);

    const std::vector<std::string>& Content() const { return m_content; }
    CEffectiveFilters& Filters() { return m_filters; }
    const CEffectiveFilters& Filters() const { return m_filters; }
    const SReaders& Readers() const { return m_readers; }
    const SSubclientContentOrigin& Origin() const { return m_origin; }
    bool FromSubclient() const { return m_fromSubclient; }

    void Describe(std::vector<std::string>& lines) const;

private:
    std::vector<std::string> m_content;
    CEffectiveFilters m_filters;
    SReaders m_readers;
    SSubclientContentOrigin m_origin;
    bool m_fromSubclient = false;
};
