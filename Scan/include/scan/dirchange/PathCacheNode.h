// The payload of the segment DirChange's folder trie: the folder's flag word and where its file
// names are, in the previous job's DirChange file and in the current one.
#pragma once

#include <memory>

#include "scan/dirchange/DirChangeItemFlags.h"
#include "scan/dirchange/FileRegistry.h"

class PathCacheNode {
public:
    explicit PathCacheNode(BDirChangeItemFlags flags = BDirChangeItemFlags()) : m_flags(flags) {}

    BDirChangeItemFlags& GetFlags() { return m_flags; }
    const BDirChangeItemFlags& GetFlags() const { return m_flags; }
    FileRegistry& GetPreviousRegistry() { return m_previous; }
    FileRegistry& GetCurrentRegistry() { return m_current; }
    const FileRegistry& GetPreviousRegistry() const { return m_previous; }
    const FileRegistry& GetCurrentRegistry() const { return m_current; }

    // On the previous registry for flags with a previous-job bit, on the current one for flags
    // with a current-job bit.
    void startSegment(int64_t offset, BDirChangeItemFlags flags);
    void closeSegment(int64_t offset, BDirChangeItemFlags flags);
    // The previous registry answers when the flags carry a previous-job bit, the current one
    // otherwise; `info` names the file that registry's segments are in.
    EPathCacheResult search(const std::string& name, BDirChangeItemFlags flags, const SymLinkItemInfo& info);

    std::string AsString() const { return m_flags.AsString(); }

    // A mark for the owner's own bookkeeping (a recorder notes the folders whose deleted files it
    // has listed already).
    bool IsMarked() const { return m_marked; }
    void SetMarked(bool on) { m_marked = on; }

private:
    BDirChangeItemFlags m_flags;
    bool m_marked = false;
    FileRegistry m_previous;
    FileRegistry m_current;
};

using PathCacheNodePtr = std::shared_ptr<PathCacheNode>;
