#include "scan/content/ProxyContentMapper.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "core/LogWriter.h"
#include "core/MntTab.h"
#include "core/Path.h"
#include "core/PlatformInfo.h"

namespace {
constexpr int kConfigLevel = 3;

// Bounded copy: at most destSize - 1 bytes and a NUL; false when `src` had to be cut.
bool StringCbCopyA(char* dest, size_t destSize, const char* src) {
    if (destSize == 0) return false;
    size_t length = std::strlen(src);
    bool fits = length < destSize;
    if (!fits) length = destSize - 1;
    std::memcpy(dest, src, length);
    dest[length] = '\0';
    return fits;
}

// Whether `base` is a prefix of `path` taken with a trailing "/" (added when it has none), and
// ends at a component boundary there. Bases end in "/" except the identity entries of the mount
// table ("/home"), which must be followed by a "/" in the path.
bool MatchesBase(std::string_view path, std::string_view base) {
    size_t n = base.size();
    if (n == 0) return false;
    if (n <= path.size()) {
        if (path.compare(0, n, base) != 0) return false;
        return base.back() == '/' || n == path.size() || path[n] == '/';
    }
    // Only the appended "/" is left to match.
    return n == path.size() + 1 && base.back() == '/' && (path.empty() || path.back() != '/') &&
           base.compare(0, path.size(), path) == 0;
}

// `base` followed by what `path` (with its trailing "/") has after the key, without the last
// byte (that "/"). The root stays "/".
void Rebase(std::string_view path, size_t keySize, const std::string& base, std::string& out) {
    out.assign(base);
    bool hasSlash = !path.empty() && path.back() == '/';
    if (keySize < path.size()) out.append(path.data() + keySize, path.size() - keySize);
    if ((hasSlash || keySize > path.size()) && out.size() > 1) out.pop_back();
}

// True when one key lies below another. Walks each key's ancestors, so keys without a trailing
// "/" (mount points) are caught wherever the sort puts them.
template <class Keys>
bool HasNestedKeys(const Keys& keys) {
    std::set<std::string_view> all;
    auto trimmed = [](std::string_view k) {
        while (k.size() > 1 && k.back() == '/') k.remove_suffix(1);
        return k;
    };
    for (const auto& k : keys) all.insert(trimmed(k.key));
    for (const auto& k : keys) {
        std::string_view v = trimmed(k.key);
        for (;;) {
            size_t at = v.rfind('/');
            if (at == std::string_view::npos || v == "/") break;
            v = at == 0 ? v.substr(0, 1) : v.substr(0, at);
            if (all.count(v)) return true;
        }
    }
    return false;
}
}  // namespace

CContentMapper::CContentMapper() = default;
CContentMapper::~CContentMapper() = default;

int CContentMapper::initialize(const char* /*idString*/) { return 1; }

bool CContentMapper::keySortCompare(const std::string& a, const std::string& b) {
    return std::strcmp(a.c_str(), b.c_str()) > 0;
}

void CContentMapper::SortAndLinkKeys(std::vector<SKey>& keys, const Map& map) {
    std::sort(keys.begin(), keys.end(), [](const SKey& a, const SKey& b) { return keySortCompare(a.key, b.key); });
    // With duplicate keys the map holds the last pair's base; every copy of the key uses it.
    for (SKey& k : keys) k.base = &map.find(k.key)->second;
}

void CContentMapper::SetSourceToLocalMap(const Map& map) {
    m_sourceToLocal.clear();
    m_localToSource.clear();
    m_sourceKeys.clear();
    m_localKeys.clear();
    m_cachedSourceKey = kNoKey;
    m_cachedLocalKey = kNoKey;

    bool rootMapped = false;
    ZYLOG(kConfigLevel, "Input Map:");
    for (const auto& pair : map) {
        ZYLOG(kConfigLevel, " [%s] => [%s]", pair.first.c_str(), pair.second.c_str());
        if (pair.first.empty() || pair.second.empty()) {
            ZYLOG_ERROR("MAP [%s]=>[%s] has empty element. Ignoring", pair.first.c_str(), pair.second.c_str());
            continue;
        }
        std::string source = pair.first;
        std::string local = pair.second;
        FXPath::AppendTrailingDelimiter(source);
        FXPath::AppendTrailingDelimiter(local);
        if (source == "/") rootMapped = true;
        m_sourceKeys.push_back(SKey{source, nullptr});
        m_localKeys.push_back(SKey{local, nullptr});
        m_sourceToLocal[source] = local;
        m_localToSource[local] = source;
    }

    if (rootMapped) {
        long long enable = 0;
        if (ZYPlatformInfo::getNumber("FileSystemAgent", "nEnableRootVolumeMapperMounts", enable).IsError()) enable = 0;
        if (enable == 0) {
            ZYLOG(2, "nEnableRootVolumeMapperMounts: Local mount table IS NOT added to the mapper");
        } else {
            ZYLOG(2, "nEnableRootVolumeMapperMounts: Local mount table IS added to the mapper");
            AddIdentityMounts();
        }
    }

    // Two inputs that became equal once "/" was appended, or a shared local path.
    if (m_sourceKeys.size() != m_sourceToLocal.size()) ZYLOG_ERROR("The source path has duplicate elements");
    if (m_localKeys.size() != m_localToSource.size()) ZYLOG_ERROR("The local path has duplicate elements");

    SortAndLinkKeys(m_sourceKeys, m_sourceToLocal);
    SortAndLinkKeys(m_localKeys, m_localToSource);
    m_cachedSourceKey = kNoKey;
    m_cachedLocalKey = kNoKey;

    // Comparing neighbours finds every nesting of source keys: they end in "/", or "/" itself is
    // a key (mount points are only added then) and sorts right after every other absolute key.
    ZYLOG(kConfigLevel, "Source KEYs:");
    for (size_t i = 0; i < m_sourceKeys.size(); ++i) {
        ZYLOG(kConfigLevel, " [%s]", m_sourceKeys[i].key.c_str());
        if (i > 0 && FXPath::IsAncestorOf(m_sourceKeys[i].key, m_sourceKeys[i - 1].key)) {
            m_cacheEnabled = false;
            ZYLOG(0, "ContentMapper cache is disabled because there are nested mountpoints in source volume list");
        }
    }
    ZYLOG(kConfigLevel, "Local KEYs:");
    for (const SKey& k : m_localKeys) ZYLOG(kConfigLevel, " [%s]", k.key.c_str());
    m_localKeysNested = HasNestedKeys(m_localKeys);
    ZYLOG(0, "ContentMapper cache: %s", m_cacheEnabled ? "Enabled" : "Disabled");
}

void CContentMapper::AddIdentityMounts() {
    std::vector<ZyMntEnt> mounts;
    CKoError e = ZyMntTab::getAll(mounts, m_mountTablePath);
    if (e.IsError()) {
        ZYLOG_ERROR("ZyMntTab::getAll failed. %s", e.AsString().c_str());
        return;
    }
    for (const ZyMntEnt& mount : mounts) {
        const std::string& point = mount.mountPoint;
        if (point.empty() || m_sourceToLocal.count(point)) continue;
        m_sourceKeys.push_back(SKey{point, nullptr});
        m_localKeys.push_back(SKey{point, nullptr});
        m_sourceToLocal[point] = point;
        m_localToSource[point] = point;
        ZYLOG(kConfigLevel, " [%s] <=> [%s]", point.c_str(), point.c_str());
    }
}

size_t CContentMapper::getKeyToConvertPath(std::string_view path, const std::vector<SKey>& keys, size_t cached,
                                           bool useCache) const {
    if (useCache && cached != kNoKey && MatchesBase(path, keys[cached].key)) return cached;
    for (size_t i = 0; i < keys.size(); ++i)
        if (MatchesBase(path, keys[i].key)) return i;
    return kNoKey;
}

void CContentMapper::ConvertToLocal(std::string_view path, std::string& out) {
    size_t k = getKeyToConvertPath(path, m_sourceKeys, m_cachedSourceKey, m_cacheEnabled);
    if (k == kNoKey) {
        out.assign(path.data(), path.size());
        return;
    }
    m_cachedSourceKey = k;
    const SKey& key = m_sourceKeys[k];
    // A path inside the local base is already local (a snapshot below the mapped root).
    if (MatchesBase(path, *key.base)) {
        out.assign(path.data(), path.size());
        return;
    }
    Rebase(path, key.key.size(), *key.base, out);
}

void CContentMapper::ConvertToSource(std::string_view path, std::string& out) {
    size_t k = getKeyToConvertPath(path, m_localKeys, m_cachedLocalKey, m_cacheEnabled && !m_localKeysNested);
    if (k == kNoKey) {
        out.assign(path.data(), path.size());
        return;
    }
    m_cachedLocalKey = k;
    Rebase(path, m_localKeys[k].key.size(), *m_localKeys[k].base, out);
}

int CContentMapper::MakeProxyPathFromHostPath(const std::string& hostPath, std::string& out) {
    if (&out != &hostPath) {
        ConvertToLocal(hostPath, out);
    } else {
        ConvertToLocal(hostPath, m_scratch);
        out.swap(m_scratch);
    }
    return 0;
}

int CContentMapper::MakeHostPathFromProxyPath(const std::string& proxyPath, std::string& out) {
    if (&out != &proxyPath) {
        ConvertToSource(proxyPath, out);
    } else {
        ConvertToSource(proxyPath, m_scratch);
        out.swap(m_scratch);
    }
    return 0;
}

int CContentMapper::MakeProxyPathFromHostPath(const char* hostPath, char* out, int outSize) {
    if (!hostPath || !out || outSize <= 0) return -1;
    ConvertToLocal(hostPath, m_scratch);
    if (m_scratch.size() >= static_cast<size_t>(outSize)) return -1;
    return StringCbCopyA(out, static_cast<size_t>(outSize), m_scratch.c_str()) ? 0 : -1;
}

int CContentMapper::MakeHostPathFromProxyPath(const char* proxyPath, char* out, int outSize) {
    if (!proxyPath || !out || outSize <= 0) return -1;
    ConvertToSource(proxyPath, m_scratch);
    if (m_scratch.size() >= static_cast<size_t>(outSize)) return -1;
    return StringCbCopyA(out, static_cast<size_t>(outSize), m_scratch.c_str()) ? 0 : -1;
}

void CContentMapper::SetProxyToHostMap(const PathList* /*list*/) {}
CKoError CContentMapper::GetHostPathsForDirChange(PathList* /*list*/) { return CKoError::Success(); }
CKoError CContentMapper::GetHostPathList(PathList* /*list*/) { return CKoError::Success(); }
CKoError CContentMapper::GetProxyPathList(PathList* /*list*/) { return CKoError::Success(); }
