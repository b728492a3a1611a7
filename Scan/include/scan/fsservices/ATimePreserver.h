// Access-time preservation across incremental backups. A backup that puts a file's access time
// back after reading it moves the file's change time (ctime) forward, so the next incremental
// would take the file for changed. The backup's readers record each such file's id and its
// ctime right after the access time went back, in FSMeta files (CFSMetaFileWriter); after the
// backup CATimePreserver folds them into a per-volume change-time database, and during the
// next scan it answers, item by item, whether the item's ctime is still the recorded one.
//
// Under the job-results folder:
//   2/.../FSMetaFiles/<GUID>_*        FSMeta files: "<file id>\t<ctime>" lines
//   FSMetaDB/<GUID>_CurrentDB         the database in force
//   FSMetaDB/<GUID>_TemporaryDB       its working copy while an update runs
//   <GUID>_SourceFile.zyf, <GUID>_DestFile.zyf, <GUID>.tmp, ATimePreserver.tmp/   merge work
// Change times are nanoseconds since the epoch.
//
// Updates of one volume's database are serialised across processes by the named mutex of the
// volume GUID and work on the temporary copy, which replaces the current database only when
// every record was applied.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "agent/ScanDB.h"
#include "core/KoError.h"

class CItem;

class CATimePreserver {
public:
    // `imports`: the scan-database library (null: the SQLite one).
    explicit CATimePreserver(std::shared_ptr<ZyScanDBImports> imports = nullptr);
    virtual ~CATimePreserver();
    CATimePreserver(const CATimePreserver&) = delete;
    CATimePreserver& operator=(const CATimePreserver&) = delete;

    CKoError initialize();

    // After a backup: every FSMeta file of the job-results folder into its volume's database.
    CKoError FindAndApplyCTimeMetaFiles();

    // During a scan: open the database of the volume that holds `volume` (a path on it), ask
    // per item, close. Without a database every item qualifies.
    CKoError OpenSourceVolumeCTimeDB(const std::string& volume);
    // True (the item qualifies for backup) unless its ctime is the one recorded for its id.
    bool IsSelected(const CItem& item);
    bool IsSelected(uint64_t fileId, int64_t ctimeNs);
    CKoError CloseSourceVolumeCTimeDB(const std::string& volume);
    bool IsSourceDBOpen() const { return m_sourceDBOpen; }

    // kind 0: the temporary database folder, 1: the current one, any other: "".
    std::string GetCTimeDBPaths(const std::string& guid, int kind) const;
    // The job-results folder from the platform (focus client); or set it directly.
    CKoError GetJobResultsDirectory();
    void SetJobResultsDirectory(const std::string& folder) { m_jobResultsDir = folder; }
    const std::string& JobResultsDirectory() const { return m_jobResultsDir; }

    virtual CKoError FindAllFiles(const std::string& folder, std::vector<std::string>& files);
    virtual CKoError SplitFilesByGUID(const std::vector<std::string>& files,
                                      std::map<std::string, std::vector<std::string>>& byGuid);
    virtual CKoError AppendMetaFiles(const std::string& destination, const std::vector<std::string>& files);
    virtual CKoError AppendAndSortMetaFiles(const std::string& guid, const std::vector<std::string>& files);
    virtual CKoError ApplyAllFilesToDatabase(const std::map<std::string, std::vector<std::string>>& byGuid);

protected:
    CKoError ApplyFilesToDatabase(const std::string& guid, const std::vector<std::string>& files);
    CKoError OpenVolumeCTimeDB(const std::string& guid);
    CKoError ApplyVolumeCTimeDB(const std::string& destination);
    CKoError CloseVolumeCTimeDB(const std::string& guid);
    CKoError CleanupMetaFiles(const std::vector<std::string>& files);
    CKoError FindAllFilesIn(const std::string& folder, bool isMetaFolder, std::vector<std::string>& files);

    std::string m_jobResultsDir;
    std::string m_sourceFile, m_destinationFile, m_sortWorkDir;
    std::string m_sourceGuid;
    bool m_initialized = false;
    bool m_sourceDBOpen = false;
    std::shared_ptr<ZyScanDBImports> m_imports;
    std::shared_ptr<ZyScanDBObject> m_db;
};
