// The source/local mapper: turns paths of the protected (source) volumes into the paths where
// they are reached locally (a snapshot or replica mount) and back, once per scanned item.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "scan/content/ContentMapper.h"

// Configured whole by SetSourceToLocalMap from pairs of base paths (source -> local). Both key
// lists are kept in descending byte order, so the first key that matches a path is the most
// specific one; the key that matched last is tried first. Keys match at component boundaries
// (/data/ never matches /data2). Until configured, every path maps to itself. One instance
// serves one thread at a time: a lookup updates the cached key.
class CContentMapper : public ContentMapperAPI {
public:
    CContentMapper();
    ~CContentMapper() override;

    // Returns 1; the mapper is configured by SetSourceToLocalMap alone.
    int initialize(const char* idString) override;
    // Copy the string form's result when it is shorter than outSize; otherwise -1.
    int MakeProxyPathFromHostPath(const char* hostPath, char* out, int outSize) override;
    int MakeHostPathFromProxyPath(const char* proxyPath, char* out, int outSize) override;
    // Source path to local path. A path without a matching key, or one that already lies in the
    // local base of its key, comes back unchanged. The result has no trailing "/". Returns 0.
    int MakeProxyPathFromHostPath(const std::string& hostPath, std::string& out) override;
    // Local path to source path (there is no "already mapped" test in this direction). Returns 0.
    int MakeHostPathFromProxyPath(const std::string& proxyPath, std::string& out) override;
    // Pairs with an empty side are ignored; "/" is appended to each side. When the source "/" is
    // mapped and the setting "nEnableRootVolumeMapperMounts" (section "FileSystemAgent") is not 0,
    // every mount point not otherwise mapped maps to itself.
    void SetSourceToLocalMap(const Map& map) override;
    const Map& GetSourceToLocalMap() const override { return m_sourceToLocal; }

    // Not used by this mapper: nothing is done and the list is left as it is.
    virtual void SetProxyToHostMap(const PathList* list);
    virtual CKoError GetHostPathsForDirChange(PathList* list);
    virtual CKoError GetHostPathList(PathList* list);
    virtual CKoError GetProxyPathList(PathList* list);

    // Descending byte order (strcmp(a, b) > 0): /a/b/ precedes /a/.
    static bool keySortCompare(const std::string& a, const std::string& b);

    const Map& GetLocalToSourceMap() const { return m_localToSource; }
    bool IsCacheEnabled() const { return m_cacheEnabled; }
    // Test seam: the mount table read for the identity entries (default /proc/self/mounts).
    void SetMountTablePath(const std::string& path) { m_mountTablePath = path; }

private:
    static constexpr size_t kNoKey = static_cast<size_t>(-1);

    // A key and the base path it maps to (a value of one of the two maps).
    struct SKey {
        std::string key;
        const std::string* base = nullptr;
    };

    // The position in `keys` of the key to convert `path` with, or kNoKey.
    size_t getKeyToConvertPath(std::string_view path, const std::vector<SKey>& keys, size_t cached,
                               bool useCache) const;
    void ConvertToLocal(std::string_view path, std::string& out);
    void ConvertToSource(std::string_view path, std::string& out);
    void AddIdentityMounts();
    static void SortAndLinkKeys(std::vector<SKey>& keys, const Map& map);

    Map m_sourceToLocal;
    Map m_localToSource;
    std::vector<SKey> m_sourceKeys;
    std::vector<SKey> m_localKeys;
    size_t m_cachedSourceKey = kNoKey;
    size_t m_cachedLocalKey = kNoKey;
    bool m_cacheEnabled = true;
    // Local keys may nest even when source keys do not (two volumes mapped into one snapshot
    // tree); the cached local key is then not used.
    bool m_localKeysNested = false;
    std::string m_mountTablePath = "/proc/self/mounts";
    std::string m_scratch;  // results of the buffer forms and of in-place conversions
};
