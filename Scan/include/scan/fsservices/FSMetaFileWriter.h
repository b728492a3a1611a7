// The FSMeta files of a backup that preserves access times (see CATimePreserver).
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <string>

#include "core/Env.h"
#include "core/KoError.h"

// Written by a backup's reader: puts each read file's access time back and records the file's
// id and new ctime in "<job results>/2/FSMetaFiles/<GUID>_<name>.zyf". One writer per reader
// thread; the file is appended through the file seam.
class CFSMetaFileWriter {
public:
    CFSMetaFileWriter() = default;
    ~CFSMetaFileWriter();
    CFSMetaFileWriter(const CFSMetaFileWriter&) = delete;
    CFSMetaFileWriter& operator=(const CFSMetaFileWriter&) = delete;

    // `name` tells writers of one job apart (a stream number, say); no "/" in it.
    CKoError Open(const std::string& jobResultsDir, const std::string& guid, const std::string& name);
    // After reading the open file `fd`: `before` is its status when it was opened. Puts the access
    // time back and records the new ctime, unless the file changed meanwhile (then the next scan
    // must see it changed, so nothing is recorded). `recorded` says which.
    CKoError PreserveAccessTime(int fd, const struct stat& before, bool* recorded = nullptr);
    // Records one line as it is (callers that put the time back themselves).
    CKoError Record(uint64_t fileId, int64_t ctimeNs);
    CKoError Close();
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
    std::unique_ptr<FXWritableFile> m_file;
    std::string m_pending;
};
