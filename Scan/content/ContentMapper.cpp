#include "scan/content/ContentMapper.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "agent/ApplicationId.h"
#include "core/LogWriter.h"

namespace {
// Detail level of the mapper's debug lines.
constexpr int kDebugLevel = 1;

// Splits "<proxy>" delimiter "<host>" at the first delimiter.
bool SplitEntry(const std::string& entry, char delimiter, std::string& proxy, std::string& host) {
    size_t at = entry.find(delimiter);
    if (at == std::string::npos) return false;
    proxy.assign(entry, 0, at);
    host.assign(entry, at + 1, std::string::npos);
    return true;
}

void RemoveOneTrailingSlash(std::string& s) {
    if (!s.empty() && s.back() == '/') s.pop_back();
}

// `base` is `path` or an ancestor of it: equal bytes and the path ends there or goes on with "/".
bool IsBaseOf(const std::string& base, const std::string& path) {
    return path.compare(0, base.size(), base) == 0 && (path.size() == base.size() || path[base.size()] == '/');
}

// base + "/" (unless skipped) + the rest of `path` after its first `cut` bytes and one "/";
// one trailing "/" of the result goes, except for "/" itself. `out` may be `path`.
void Rebase(const std::string& base, bool slashAfterBase, const std::string& path, size_t cut, std::string& out) {
    std::string aliased;
    std::string& result = &out == &path ? aliased : out;
    result.assign(base);
    if (slashAfterBase) result.push_back('/');
    size_t from = cut;
    if (from < path.size() && path[from] == '/') ++from;
    if (from < path.size()) result.append(path, from, std::string::npos);
    if (result.size() > 1 && result.back() == '/') result.pop_back();
    if (&result != &out) out.swap(result);
}
}  // namespace

ContentMapperAPI::~ContentMapperAPI() = default;

ContentMapper::ContentMapper() = default;
ContentMapper::~ContentMapper() = default;

int ContentMapper::initialize(const char* idString) {
    if (mEnabled) return 1;
    ApplicationId appId(idString ? idString : "");
    CKoError e = appId.getApplicationId();
    if (e.IsError()) {
        ZYLOG_ERROR("Failed to get ApplicationId. idString[%s]", idString ? idString : "");
        return 0;
    }
    int appType = appId.getAppType();
    if (appType == 25 || appType == 40 || appType == 87) {
        mEnabled = initProxyHostAppType(&appId);
    } else {
        mEnabled = false;
    }
    ZYLOG(kDebugLevel, "%s", mEnabled ? "Proxy Enabled" : "Proxy Disabled");
    return mEnabled ? 1 : 0;
}

bool ContentMapper::initProxyHostAppType(ApplicationId* appId) {
    std::shared_ptr<Subclient> subclient;
    if (!appId || appId->getSubclient(subclient).IsError() || !subclient) {
        ZYLOG(kDebugLevel, "AppManager get of Subclient config failed");
        return false;
    }
    BackupContent content;
    CKoError e = ApplBackupContent(*subclient).getFiles(content);
    if (e.IsError()) {
        ZYLOG_ERROR("Get Files failed");
        return false;
    }
    bool taken = false;
    std::string proxy, host;
    for (const std::string& entry : content.files) {
        if (!SplitEntry(entry, mDelimiter, proxy, host)) {
            ZYLOG(kDebugLevel, "Failed to find Delimiter in [%s]", entry.c_str());
            continue;
        }
        RemoveOneTrailingSlash(proxy);
        RemoveOneTrailingSlash(host);
        mProxyToHostMap[proxy] = host;
        taken = true;
    }
    return taken;
}

void ContentMapper::SetProxyToHostMap(const PathList* list) {
    if (!list) return;
    std::string proxy, host;
    for (const std::string& entry : *list) {
        if (!SplitEntry(entry, mDelimiter, proxy, host)) {
            ZYLOG(kDebugLevel, "Failed to find delimiter in [%s]", entry.c_str());
            continue;
        }
        ZYLOG(kDebugLevel, "Leaving: proxyContent = %s, hostContent = %s", proxy.c_str(), host.c_str());
        mProxyToHostMap[proxy] = host;
    }
}

void ContentMapper::SetSourceToLocalMap(const Map& map) { mProxyToHostMap = map; }

int ContentMapper::GetHostPathsForDirChange(PathList* list) {
    if (!list) return 0;
    for (const auto& entry : mProxyToHostMap) {
        std::string key = entry.first;
        for (;;) {
            size_t at = key.rfind('/');
            if (at == std::string::npos) {
                ZYLOG(kDebugLevel, "This point should never be reached");
                break;
            }
            if (at == 0) {
                list->push_back(std::string());  // the root
                break;
            }
            if (at == 1) {
                list->push_back(key.substr(0, 2));
                key = "/";
                continue;
            }
            key.resize(at);
            list->push_back(key);
        }
    }
    return 0;
}

int ContentMapper::GetHostPathList(PathList* list) {
    if (!list) return 0;
    for (const auto& entry : mProxyToHostMap) list->push_back(entry.second);
    return 0;
}

int ContentMapper::GetProxyPathList(PathList* list) { return GetHostPathList(list); }

int ContentMapper::GetHostAndProxyFromHostPath(std::string path, std::string& host, std::string& proxy) {
    for (const auto& entry : mProxyToHostMap) {
        const std::string& base = entry.second;
        if (path.compare(0, base.size(), base) != 0) continue;
        if (!IsBaseOf(base, path)) {
            ZYLOG(kDebugLevel, "Its a child... Nothing. Just continue");
            continue;
        }
        host = entry.second;
        proxy = entry.first;
        return 0;
    }
    return -1;
}

int ContentMapper::GetHostAndProxyFromProxyPath(std::string path, std::string& host, std::string& proxy) {
    for (const auto& entry : mProxyToHostMap) {
        const std::string& base = entry.first;
        if (path.compare(0, base.size(), base) != 0) continue;
        if (!IsBaseOf(base, path)) {
            ZYLOG(kDebugLevel, "Nothing. Just Going to continue");
            continue;
        }
        host = entry.second;
        proxy = entry.first;
        return 0;
    }
    return -1;
}

int ContentMapper::MakeProxyPathFromHostPath(const std::string& hostPath, std::string& out) {
    if (!mEnabled || hostPath.empty()) {
        mLastErrorText = "Mapping not enabled or bad input parameter";
        if (&out != &hostPath) out = hostPath;
        return -2;
    }
    std::string host, proxy;
    if (GetHostAndProxyFromHostPath(hostPath, host, proxy) != 0) {
        mLastErrorText = "Failed to look up host/proxy base";
        if (&out != &hostPath) out = hostPath;
        return -2;
    }
    ProxyStripEOL(proxy);
    ProxyStripEOL(host);
    Rebase(proxy, proxy != "/", hostPath, host.size(), out);
    return 0;
}

int ContentMapper::MakeHostPathFromProxyPath(const std::string& proxyPath, std::string& out) {
    if (!mEnabled || proxyPath.empty()) {
        mLastErrorText = "Mapping not enabled or Bad Parameter";
        ZYLOG(kDebugLevel, "ERROR_CANT_CONVERT_PROXY_TO_HOST");
        if (&out != &proxyPath) out = proxyPath;
        return -2;
    }
    std::string host, proxy;
    if (GetHostAndProxyFromProxyPath(proxyPath, host, proxy) != 0) {
        mLastErrorText = "Failed to look up host/proxy base";
        if (&out != &proxyPath) out = proxyPath;
        return -2;
    }
    ProxyStripEOL(proxy);
    ProxyStripEOL(host);
    Rebase(host, true, proxyPath, proxy.size(), out);
    return 0;
}

int ContentMapper::CopyToBuffer(int result, const std::string& text, char* out, int outSize) {
    if (!out || outSize <= 0) return -2;
    if (text.size() >= static_cast<size_t>(outSize)) {
        out[0] = '\0';
        // A failed conversion keeps its own reason.
        if (result == 0) mLastErrorText = "Output buffer too small";
        return -2;
    }
    std::memcpy(out, text.c_str(), text.size() + 1);
    return result;
}

int ContentMapper::MakeProxyPathFromHostPath(const char* hostPath, char* out, int outSize) {
    std::string text;
    int result = MakeProxyPathFromHostPath(std::string(hostPath ? hostPath : ""), text);
    return CopyToBuffer(result, text, out, outSize);
}

int ContentMapper::MakeHostPathFromProxyPath(const char* proxyPath, char* out, int outSize) {
    std::string text;
    int result = MakeHostPathFromProxyPath(std::string(proxyPath ? proxyPath : ""), text);
    return CopyToBuffer(result, text, out, outSize);
}

void ContentMapper::GetLastError(std::string& text, int* code) const {
    text = mLastErrorText;
    if (code) *code = mLastErrorCode;
}

void ContentMapper::ProxyStripEOL(std::string& s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\t')) s.pop_back();
}

int ContentMapper::ProxyReadLine(int fd, char* buf, int max) {
    int count = 0;
    while (count < max) {
        char c;
        ssize_t n = ::read(fd, &c, 1);
        if (n < 0) {
            if (errno == EINTR) continue;
            std::perror("read()");
            std::exit(2);
        }
        if (n == 0) {
            if (count == 0) {
                std::printf("Nothing read\n");
                std::fflush(stdout);
            }
            return count;
        }
        buf[count] = c;
        if (c == '\n') {
            buf[count + 1] = '\0';
            return count;
        }
        ++count;
    }
    return max;
}
