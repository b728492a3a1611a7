// Compaction of a flat DirChange file: every folder's blocks, found through the file's offset
// trie, copied into one block per folder of another file, folders in trie (name) order.
#pragma once

#include "core/KoError.h"
#include "scan/dirchange/FlatDirChangeFile.h"

class CFlatDirChangeFileCompactor {
public:
    // The source must stay alive and be closed (flushed) while CompactTo runs.
    explicit CFlatDirChangeFileCompactor(CFlatDirChangeFile* source) : m_source(source) {}

    // With writeAllFolders, folders that are only path steps of the trie get folder lines too.
    CKoError CompactTo(const CFlatDirChangeFilePtr& target, bool writeAllFolders);

private:
    CFlatDirChangeFile* m_source;
};
