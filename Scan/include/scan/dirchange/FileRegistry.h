// The file names of one folder of the segment DirChange, kept on disk: the byte ranges
// (segments) of a tree DirChange file that hold the folder's TAB lines.
//
// The names of the folder read last are kept in one process-wide cache; asking about another
// folder replaces them. The cache knows its owner by a number that changes whenever a registry's
// segments change, so it can never answer for another folder or for an out-of-date list.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/KoError.h"
#include "scan/dirchange/PathCache.h"
#include "scan/dirchange/SymLinkItemInfo.h"

class FileRegistry {
public:
    using Segment = std::pair<int64_t, int64_t>;  // [start, end); end -1: up to the block's end

    static constexpr size_t kPackEvery = 1024;

    FileRegistry();
    virtual ~FileRegistry();
    FileRegistry(const FileRegistry&) = delete;
    FileRegistry& operator=(const FileRegistry&) = delete;

    // Adds a segment that starts at `offset` and is still open.
    void startSegment(int64_t offset);
    // Ends the last segment at `offset`; packs after every kPackEvery new segments.
    void closeSegment(int64_t offset);
    // Sorts the segments and merges neighbours that touch.
    void pack();
    const std::vector<Segment>& GetSegments() const { return m_segments; }
    bool IsEmpty() const { return m_segments.empty(); }

    // Whether the folder has the file `name`. A question that is not about the DirChange file
    // (a collect question) is not supported and answers FOUND_EXACT, as does a registry whose
    // file cannot be read (after logging why): the item then counts as present.
    virtual EPathCacheResult search(const std::string& name, bool fromDirChange, const SymLinkItemInfo& info);
    // The same with errors handed back: `found` is only meaningful on success.
    CKoError Lookup(const std::string& name, const SymLinkItemInfo& info, bool& found);
    // Fills the process-wide cache with this registry's names from the file named in `info`.
    virtual CKoError loadCahce(const SymLinkItemInfo& info);
    // Reads the names without touching the cache: from the file `info` holds open, else from the
    // file it names.
    CKoError ReadNames(const SymLinkItemInfo& info, std::set<std::string>& names) const;
    CKoError ReadNames(const std::string& fileName, std::set<std::string>& names) const;
    static void clearCache();
    // How many times the cache was filled (tests watch the one-folder cache with it).
    static uint64_t GetCacheLoadCount();

private:
    std::vector<Segment> m_segments;
    size_t m_packed = 0;  // the list size at the last packing
    uint64_t m_version;   // process-wide unique; renewed whenever the segments change
};
