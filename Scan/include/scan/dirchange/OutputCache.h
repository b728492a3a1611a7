// The output cache: which folders and names were written to which output file of a job (the
// DirChange file, id 0 or -1, and the collect files, other ids), so that a later question "was
// this item written there?" need not read the whole file.
//
// Per output file it keeps a trie of folders; for each folder the byte ranges of the file that
// hold its lines, and whether the folder itself was written. A question about a file reads only
// those ranges of the output file back. With name caching on (the default; setting
// "nCacheNames" of section "FileSystemAgent", 0 turns it off) every name read back is remembered
// with its line's offset, so a folder's lines are not read again for a name already seen.
//
// One thread at a time.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "scan/dirchange/PathCache.h"

enum OutputCache_Mode {
    OUTPUT_CACHE_FOLDERS = 0,            // folders only; questions about files answer for the folder
    OUTPUT_CACHE_FOLDERS_AND_FILES = 1,  // also the ranges of every folder's lines, read back for files
};

class OutputCache {
public:
    virtual ~OutputCache() = default;

    // An OutputCacheDirChangeImpl.
    static std::shared_ptr<OutputCache> newOutputCache(OutputCache_Mode mode);

    // The output file of an id; -1 (and nothing stored) for an id below -1.
    virtual int registerFile(int fileId, const std::string& name) = 0;
    // Records an object written to the file between offsets `start` and `end`. In folder mode
    // only folders are recorded. 0, or -1 when it cannot be recorded.
    virtual int addObject(int fileId, const char* path, bool isDir, uint64_t start, uint64_t end) = 0;
    // Whether the object was written to the file. For a file in OUTPUT_CACHE_FOLDERS_AND_FILES
    // mode the folder's ranges are read back (or the name cache answers); `offset` (may be null)
    // then receives where the matching line starts.
    virtual bool isInCache(int fileId, const char* path, bool isDir, uint64_t* offset) = 0;
    // The folder trie of a file to the debug log.
    virtual void dump(int fileId) = 0;
};

// What the output cache knows of one folder of an output file.
struct PathInfo {
    static constexpr size_t kPackAfter = 1024;

    std::vector<std::pair<uint64_t, uint64_t>> ranges;  // (start, end) offsets of the folder's lines
    uint32_t packedCount = 0;                           // ranges after the last packing
    bool packed = false;                                // sorted by start, adjacent ranges merged
    bool isDir = false;                                 // the folder itself was written

    // Appends a range; once more than kPackAfter were added since the last packing, packs.
    void AddRange(uint64_t start, uint64_t end);
    // Sorts by start and merges a range into the one before when that one ends where it starts.
    void Pack();
    // "start-end,start-end".
    std::string RangesAsString() const;
};

class OutputCacheDirChangeImpl : public OutputCache {
public:
    explicit OutputCacheDirChangeImpl(OutputCache_Mode mode);
    ~OutputCacheDirChangeImpl() override;

    int registerFile(int fileId, const std::string& name) override;
    int addObject(int fileId, const char* path, bool isDir, uint64_t start, uint64_t end) override;
    bool isInCache(int fileId, const char* path, bool isDir, uint64_t* offset) override;
    void dump(int fileId) override;

    bool IsNameCachingEnabled() const { return m_cacheNames; }
    OutputCache_Mode GetMode() const { return m_mode; }

private:
    using FolderTrie = CPathCacheUnorderedT<PathInfo>;
    struct FileRecord {
        int id = 0;
        std::string fileName;
        FolderTrie folders;
        // folder + "/" + name of every name read back, with the offset of its line
        std::unordered_map<std::string, uint64_t> names;
    };

    FileRecord& Record(int fileId);
    // Reads the folder's ranges of the record's file looking for `name`.
    bool SearchFile(FileRecord& record, const PathInfo& info, std::string_view folder, std::string_view name,
                    uint64_t* offset);

    OutputCache_Mode m_mode;
    bool m_cacheNames = true;
    std::map<int, std::unique_ptr<FileRecord>> m_files;
    std::string m_key;  // scratch for name-cache keys
};
