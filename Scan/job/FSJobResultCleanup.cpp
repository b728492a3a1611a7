#include "scan/job/FSJobResultCleanup.h"

#include "core/Env.h"
#include "core/LogWriter.h"
#include "core/Path.h"
#include "core/PlatformInfo.h"
#include "core/StringUtil.h"
#include "scan/jobstate/JobFiles.h"

CFSJobResultCleanup::CFSJobResultCleanup(const std::string& jobResultsFolder, const long& backupType,
                                         const bool& committed, const bool& systemState, const int64_t& jobId)
    : m_jobResultsFolder(jobResultsFolder), m_backupType(backupType), m_committed(committed),
      m_systemState(systemState), m_jobId(jobId) {
    long long value = 0;
    if (ZYPlatformInfo::getNumber("FileSystemAgent", "bDifferentialJobSupported", value).IsSuccess()) {
        m_differentialJobSupported = value != 0;
        ZYLOG(1, "bDifferentialJobSupported=[%d]", m_differentialJobSupported ? 1 : 0);
    }
    std::string folder = jobResultsFolder;
    FXPath::RemoveTrailingDelimiter(folder);
    if (FXPath::SplitParentPath(folder, m_parentFolder, m_lastComponent).IsError()) {
        m_parentFolder.clear();
        m_lastComponent = folder;
    }
    m_archivePattern = m_lastComponent + "_*.7z";
}

std::string CFSJobResultCleanup::PatternOf(const std::string& baseName) {
    std::string base = baseName;
    FXString::RemoveRight(base, ".zyf");
    return FXString::Format("%s*.zyf", base.c_str());
}

void CFSJobResultCleanup::Add(const std::string& folder, const std::string& pattern) {
    m_filesToCleanup.push_front(FXPath::Join(folder, pattern));
}

void CFSJobResultCleanup::UpdateListOfFilesToCleanup() {
    const std::string& jr = m_jobResultsFolder;
    Add(jr, m_archivePattern);
    if (!m_parentFolder.empty()) Add(m_parentFolder, m_archivePattern);
    if (m_committed) {
        ZYLOG(1, "Subclient dir cleanup is skipped as the job [%lld] is committed", static_cast<long long>(m_jobId));
        return;
    }
    if (m_backupType == 1) {
        Add(jr, PatternOf("CollectTot.zyf"));
        Add(jr, "FileExtentNumColTot*.zyf");
        Add(jr, "FileExtentEligibleNumColTot*.zyf");
    } else if (m_backupType == 2) {
        Add(jr, PatternOf("CollectInc.zyf"));
        Add(jr, "FileExtentNumColInc*.zyf");
        Add(jr, "FileExtentEligibleNumColInc*.zyf");
        if (!m_differentialJobSupported) {
            Add(jr, "DCTot.zyf");
            Add(jr, PatternOf("CollectTot.zyf"));
        }
    } else {
        ZYLOG(1, "Subclient dir cleanup is not supported for backup type [%lu].", static_cast<unsigned long>(m_backupType));
        return;
    }
    for (const char* pattern : {"FileExtentTable*.dat", "FileExtentTable*.idx", "solrCloudMetaData.zyf",
                                "solrCollectionsInfo.xml", "*SolrBackupResponse.zyf", "IndexLookupStubCollect_*"})
        Add(jr, pattern);
    Add(jr, PatternOf("FSTurboStubbedFilesVer10.zyf"));
    Add(jr, PatternOf("FsTurboScanStubCollectLookup.zyf"));
}

void CFSJobResultCleanup::Cleanup() {
    for (const std::string& entry : m_filesToCleanup) {
        std::string folder, pattern;
        if (FXPath::SplitParentPath(entry, folder, pattern).IsError()) continue;
        std::vector<std::string> names;
        // Folders never match: only files (and links, which are removed, not followed) go.
        if (CJobFiles::ListMatching(folder, pattern, names).IsError()) continue;
        for (const std::string& name : names) {
            const std::string path = FXPath::Join(folder, name);
            if (CJobFiles::RemoveIfPresent(path).IsSuccess()) ZYLOG(1, "Deleting File [%s]", path.c_str());
        }
    }
}

CKoError CFSJobResultCleanup::Execute() {
    UpdateListOfFilesToCleanup();
    Cleanup();
    return CKoError::Success();
}

bool CFSJobResultCleanup::IsScanJobTypeQualifiedForCleanup(EScanJobType& type) {
    switch (type.GetValue()) {
        case EScanJobType::FILE_SYSTEM:
        case EScanJobType::UNIX_FILE_SYSTEM:
        case EScanJobType::FILE_SYSTEM_DATA_MIGRATOR:
        case EScanJobType::SNAP_BACKUP:
        case EScanJobType::SNAP_CATALOG:
        case EScanJobType::TURBO:
        case EScanJobType::TURBO_NAS:
        case EScanJobType::SNAP_BACKUP_WITHOUT_SNAP_CATALOG:
        case EScanJobType::SOLR_INDEX:
        case EScanJobType::SNAP_DEFERRED_CATALOG:
        case EScanJobType::FILE_ANALYTICS:
        case EScanJobType::SOLR_CLOUD_BACKUP:
        case EScanJobType::BLOCK_LEVEL_SNAP_CATALOG:
        case EScanJobType::BLOCK_LEVEL_SNAP_BACKUP:
        case EScanJobType::FILE_SYSTEM_UNIFOLD:
        case EScanJobType::SNAP_CATALOG_SNAPDIFF:
        case EScanJobType::UNIFOLD:
        case EScanJobType::UNIFOLD_SYNTHFULL_CLIENT_SCAN:
        case EScanJobType::FILE_SYSTEM_UNIFOLD_SYNTHFULL_CLIENT_SCAN:
        case EScanJobType::SNAP_BACKUP_WITH_SCAN:
            return true;
        default:
            return false;
    }
}
