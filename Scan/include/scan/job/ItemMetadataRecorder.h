// One backup reader's side of the mirror observer: keeps each copied item's owner, mode, times
// and security metadata in the backup metadata store, and with access-time preservation puts a
// read file's access time back and records its new change time in the reader's FSMeta file
// (one per volume), which the backup folds into the volume's change-time database at its end.
// Belongs to one reader thread.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>

#include "scan/job/MirrorObserver.h"

class CBackupMetadataStore;
class CFSMetaFileWriter;
namespace ZyACL {
class Helper;
}

class CItemMetadataRecorder : public IMirrorObserver {
public:
    // `store` null: no metadata kept. `fsMetaName` tells this reader's FSMeta files apart from
    // the other readers' ("" : access times are not preserved).
    CItemMetadataRecorder(CBackupMetadataStore* store, std::string resultsDir, std::string fsMetaName);
    ~CItemMetadataRecorder() override;

    CKoError OnFileRead(int fd, const struct stat& before) override;
    CKoError OnItemCopied(const std::string& source, int sourceParent, const std::string& leaf, const struct stat& st,
                          bool& sourceError, std::string& reason) override;
    CKoError OnItemRemoved(const std::string& source) override;
    // Writes out the FSMeta files.
    CKoError Close();

    uint64_t Preserved() const { return m_preserved; }

private:
    CBackupMetadataStore* m_store;
    std::string m_resultsDir, m_fsMetaName;
    std::shared_ptr<ZyACL::Helper> m_helper;
    std::map<dev_t, std::unique_ptr<CFSMetaFileWriter>> m_writers;  // by volume
    std::string m_buffer;
    uint64_t m_preserved = 0;
};
