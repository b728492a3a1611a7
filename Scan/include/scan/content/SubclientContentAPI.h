// A subclient's content, filters and exceptions as one message (Dax::SubclientContentList,
// agent/DaxMessages.h), from the management server or from the local copy "BackupContent.xml"
// in the subclient's job-results folder, which every successful fetch refreshes so that a later
// job works while the server cannot be reached.
#pragma once

#include <string>
#include <vector>

#include "core/KoError.h"

class ApplicationId;

// Where a job's content came from.
struct SSubclientContentOrigin {
    bool fromLocalCopy = false;  // the server could not be reached
    std::string localCopy;       // the path of "BackupContent.xml"
    std::string reason;          // why the local copy was used, or why it could not be refreshed
};

class CSubclientContentAPI {
public:
    static constexpr const char* kLocalCopyName = "BackupContent.xml";

    CSubclientContentAPI() = default;
    // `jobResultsFolder`, when not empty, is the subclient's job-results folder; otherwise the
    // platform's subclient folder is asked for it.
    explicit CSubclientContentAPI(std::string jobResultsFolder) : m_jobResultsFolder(std::move(jobResultsFolder)) {}

    // The local copy when it can be read, else the server's content (then written to the copy).
    CKoError GetSubclientContent(unsigned appId, std::string& xml, unsigned hubCellId, const std::string& clientName);
    // Always the server's content, written to the local copy; both failures are errors.
    CKoError RefreshLocalCache(unsigned appId, unsigned hubCellId, const std::string& clientName);
    // For a job: the server's content, written to the local copy (a failed write is only told);
    // when the server cannot be reached (ZYHubServe::IsUnreachable), the local copy, and `origin`
    // says so. Any other failure (a subclient file that is wrong, say) is an error: a job must not
    // run on an old definition while a broken one waits to be fixed.
    CKoError GetSubclientContentForJob(unsigned appId, unsigned hubCellId, const std::string& clientName,
                                       std::string& xml, SSubclientContentOrigin& origin);

    CKoError GetContentFromServer(unsigned appId, unsigned hubCellId, const std::string& clientName, std::string& xml);
    CKoError GetContentFromFile(const std::string& file, std::string& xml);
    // Replaces the file durably with the message in `xml`; a message that does not parse leaves
    // the file as it was.
    CKoError DumpToFile(const std::string& file, const std::string& xml);
    CKoError GetJobResultsDirectory(unsigned hubCellId, unsigned appId, std::string& clientName, std::string& folder);

    CKoError GetContent(ApplicationId& appId, std::vector<std::string>& content);
    CKoError GetFilters(ApplicationId& appId, std::vector<std::string>& filters);
    CKoError GetFilterExceptions(ApplicationId& appId, std::vector<std::string>& exceptions);

    // "/%name%" or "\%name%": at least 3 characters, a delimiter, "%" second and "%" last.
    static bool IsMonikerPath(const std::string& s);

private:
    CKoError CheckIds(unsigned appId, unsigned& hubCellId) const;
    CKoError LocalCopyPath(unsigned hubCellId, unsigned appId, const std::string& clientName, std::string& path);

    std::string m_jobResultsFolder;
};
