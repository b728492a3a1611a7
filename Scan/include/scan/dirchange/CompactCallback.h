// The walk callback of flat DirChange file compaction: for each folder of the source's offset
// trie, the folder line and then the file lines of each of its blocks, copied to the target.
#pragma once

#include <memory>
#include <string>

#include "core/Env.h"
#include "core/KoError.h"
#include "scan/dirchange/FlatDirChangeFile.h"
#include "scan/dirchange/FlatDirChangeLineReader.h"
#include "scan/dirchange/PositionalLineSource.h"

class CCompactCallback : public CPathCacheOrderedTWalkCallback<OffsetAddressListPtr> {
public:
    CCompactCallback(CFlatDirChangeFile* source, CFlatDirChangeFilePtr target, bool writeAllFolders);

    // Opens the source's file for reading; "File is not open" (Win32 2) when it cannot.
    CKoError Open();
    bool OnNode(const std::string& path, const std::string& name, int depth, BPathCacheNodeFlags flags,
                const OffsetAddressListPtr& data) override;
    // The first failure of the walk; the walk stops at it.
    const CKoError& Error() const { return m_error; }

private:
    CKoError CopyBlock(uint64_t offset);

    CFlatDirChangeFile* m_source;
    CFlatDirChangeFilePtr m_target;
    bool m_writeAllFolders;
    std::unique_ptr<FXRandomAccessFile> m_file;
    std::unique_ptr<CPositionalLineSource> m_input;
    std::unique_ptr<CFlatDirChangeLineReader> m_reader;
    CKoError m_error;
    std::string m_line;
};
