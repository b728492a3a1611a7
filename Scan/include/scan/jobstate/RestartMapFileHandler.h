// The collect map of a job ("CollectMap_Tot.zyf" for full jobs, "CollectMap_lnc.zyf" for
// incremental ones) in the job-results folder: every collect file of the job with the offset the
// backup had reached in it. A collect file's restart id is its position in the map.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "agent/FileScanMessages.h"
#include "core/KoError.h"

class CRestartMapFileEntry {
public:
    CRestartMapFileEntry() = default;
    explicit CRestartMapFileEntry(std::string collectFilePath, int64_t restartOffset = -1)
        : m_collectFilePath(std::move(collectFilePath)), m_restartOffset(restartOffset) {}

    const std::string& GetCollectFilePath() const { return m_collectFilePath; }
    void SetCollectFilePath(std::string path) { m_collectFilePath = std::move(path); }
    int64_t GetRestartOffset() const { return m_restartOffset; }
    void SetRestartOffset(int64_t offset) { m_restartOffset = offset; }

    bool operator==(const CRestartMapFileEntry& o) const {
        return m_restartOffset == o.m_restartOffset && m_collectFilePath == o.m_collectFilePath;
    }

private:
    std::string m_collectFilePath;
    int64_t m_restartOffset = -1;
};

class CRestartMapFileMgrPrivate;

// Holds the map in memory and writes it back whole. Copies share one map; every operation holds
// the map's lock, so reader threads may share a handler.
class CRestartMapFileHandler {
public:
    CRestartMapFileHandler();

    // Sets folder and mode and empties the map. With `create` the old map file goes (a new job);
    // otherwise the map is loaded from it (a restarted job), and a missing file is an error.
    CKoError Init(const std::string& folder, bool isFull, bool create);

    // Adds the entry under the next restart id unless an entry with the same path (ignoring case)
    // exists; `restartId` is the id of the entry now in the map.
    CKoError AddEntryIfNotExist(const CRestartMapFileEntry& entry, unsigned& restartId);
    // Adds folder + the file name of every collect of the description, disks first, then
    // components. Entries that cannot be added are logged and skipped.
    CKoError AddEntriesFromCollectInfoIfNotExist(FileScan::CollectInfo& collectInfo);

    // Win32 1168 when absent. Paths are compared without regard to case.
    CKoError RemoveEntry(const std::string& collectFilePath);
    CKoError RemoveEntry(unsigned restartId);
    CKoError UpdateRestartOffset(const std::string& collectFilePath, int64_t restartOffset);
    CKoError UpdateRestartOffset(unsigned restartId, int64_t restartOffset);

    // Appends every entry, in ascending restart id.
    CKoError PopulateEntries(std::vector<std::pair<unsigned, CRestartMapFileEntry>>& entries);

    // Writes the whole map (version 1). The file on disk is replaced in one step: a process killed
    // during the flush leaves the previous map, never a partial one.
    CKoError FlushToFile();

    std::string GetRestartMapFilePath() const;

private:
    std::shared_ptr<CRestartMapFileMgrPrivate> m_private;
};
