// The record of one folder in the flat-file index's folder trie.
#pragma once

#include <memory>
#include <string>

#include "scan/dirchange/DirChangeItemFlags.h"

class CPathCacheScanData {
public:
    CPathCacheScanData() = default;
    explicit CPathCacheScanData(BDirChangeItemFlags flags) : m_flags(flags) {}

    BDirChangeItemFlags& GetFlags() { return m_flags; }
    const BDirChangeItemFlags& GetFlags() const { return m_flags; }
    void SetFlags(BDirChangeItemFlags flags) { m_flags = flags; }

    // For diagnostic dumps: the flag names.
    std::string AsString() const { return m_flags.AsString(); }

private:
    BDirChangeItemFlags m_flags;
};

using CPathCacheScanDataPtr = std::shared_ptr<CPathCacheScanData>;
