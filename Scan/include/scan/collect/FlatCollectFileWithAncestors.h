// Records the folder of every item the scan collects, so that the folders above the collected
// items that the collect files do not hold themselves (ancestors) can be written at the end, once
// each, into the collect file whose path prefix covers them. A restore then finds every folder
// line, whichever parts it reads first.
//
// Several scanner threads may share one object: Process and Close hold its lock.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "scan/collect/FlatCollectFile.h"
#include "scan/content/ProxyItemConsumer.h"
#include "scan/dirchange/PathCache.h"

class CFlatCollectFileWithAncestors : public CProxyItemConsumer {
public:
    // Node values: a folder that is an item of its own (its line is already in a collect file),
    // and a folder seen only above an item.
    static constexpr int kFolderWritten = 1;
    static constexpr int kFolderAncestor = 0;

    // (path prefix, collect file): a folder goes to the file with the longest prefix that is the
    // folder or above it. Prefixes are source paths, as items are recorded.
    using CollectFileList = std::vector<std::pair<std::string, std::shared_ptr<CFlatCollectFile>>>;

    explicit CFlatCollectFileWithAncestors(long long id);
    ~CFlatCollectFileWithAncestors() override;

    // Records a folder item as written and a file's folder (with everything above) as needed.
    // Deleted items ("DELETED") are not recorded: their folders may be gone.
    CKoError Process(std::shared_ptr<CItem> item) override;

    // Writes every recorded folder that is not an item of its own, except "/", top-most first,
    // escaped, as a folder line ("name/|0") into the covering collect file. A folder that no file
    // covers is Win32 13 "can't find collect file for <folder>"; the other folders are still
    // written. The collect files stay open.
    CKoError Close(const CollectFileList& files);

    // Folders recorded (for tests and memory logs).
    size_t GetMemoryUsed() const;

private:
    CPathCacheUnorderedT<int> m_folders;
    mutable std::mutex m_mutex;
    std::string m_source, m_lastParent;  // scratch, and the folder of the last file recorded
};
