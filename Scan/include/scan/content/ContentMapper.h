// Translation between the paths a host sees and the paths a proxy (or a replica) sees.
//
// ContentMapperAPI is what the rest of the library holds. ContentMapper is the proxy/host mapper
// configured from the subclient's content ("<proxy path>" 0x15 "<host path>" per entry) or from a
// list; CLiveSyncRepContentMapper is filled entry by entry by live-sync replication. The
// source/local mapper used on the per-item path is CContentMapper (scan/ProxyContentMapper.h).
#pragma once

#include <map>
#include <string>
#include <vector>

#include "core/KoError.h"

class ApplicationId;

class ContentMapperAPI {
public:
    using Map = std::map<std::string, std::string>;
    using PathList = std::vector<std::string>;

    virtual ~ContentMapperAPI();
    // Non-zero: mapping is enabled.
    virtual int initialize(const char* idString) = 0;
    virtual int MakeProxyPathFromHostPath(const char* hostPath, char* out, int outSize) = 0;
    virtual int MakeHostPathFromProxyPath(const char* proxyPath, char* out, int outSize) = 0;
    virtual int MakeProxyPathFromHostPath(const std::string& hostPath, std::string& out) = 0;
    virtual int MakeHostPathFromProxyPath(const std::string& proxyPath, std::string& out) = 0;
    virtual void SetSourceToLocalMap(const Map& map) = 0;
    virtual const Map& GetSourceToLocalMap() const = 0;
};

// Results: 0 success, -1 not found, -2 failure (the output then holds the input and GetLastError
// says why). Lookups scan the whole table, so this mapper is for configuration-time work; one
// instance serves one thread at a time (a failure writes the last error text).
class ContentMapper : public ContentMapperAPI {
public:
    ContentMapper();
    ~ContentMapper() override;

    // Enables mapping once, from the content of the subclient the id names, when its application
    // type is 25, 40 or 87; later calls return 1 at once when enabled.
    int initialize(const char* idString) override;
    // The buffer forms fail (-2, "Output buffer too small") when the result and its NUL do not
    // fit in outSize bytes; `out` is then left empty.
    int MakeProxyPathFromHostPath(const char* hostPath, char* out, int outSize) override;
    int MakeHostPathFromProxyPath(const char* proxyPath, char* out, int outSize) override;
    int MakeProxyPathFromHostPath(const std::string& hostPath, std::string& out) override;
    int MakeHostPathFromProxyPath(const std::string& proxyPath, std::string& out) override;
    // Replaces the table as it is (proxy path -> host path).
    void SetSourceToLocalMap(const Map& map) override;
    const Map& GetSourceToLocalMap() const override { return mProxyToHostMap; }

    // Adds "<proxy>" 0x15 "<host>" entries as given (trailing "/" kept; the table is not cleared).
    virtual void SetProxyToHostMap(const PathList* list);
    // Every ancestor of every proxy path, nearest first ("" stands for the root); duplicates stay.
    virtual int GetHostPathsForDirChange(PathList* list);
    // Appends the host paths in proxy-path order.
    virtual int GetHostPathList(PathList* list);
    // Appends the same values as GetHostPathList: the table's values (host paths).
    virtual int GetProxyPathList(PathList* list);
    virtual bool IsEnabled() const { return mEnabled; }
    // The first entry (in proxy-path order) whose host path is `path` or an ancestor of it; -1 if none.
    virtual int GetHostAndProxyFromHostPath(std::string path, std::string& host, std::string& proxy);
    // The same test on the proxy paths.
    virtual int GetHostAndProxyFromProxyPath(std::string path, std::string& host, std::string& proxy);
    // Fills the table from the subclient's content; true when at least one entry was taken.
    virtual bool initProxyHostAppType(ApplicationId* appId);
    // Reads one line, a byte at a time, at most `max` bytes. `buf` must hold max + 1 bytes: a line
    // feed read as the last byte still gets its NUL. Returns the bytes before the line feed, 0 at
    // the end of the stream ("Nothing read" on standard output), `max` (unterminated) when no line
    // feed came. A read error ends the process with status 2.
    virtual int ProxyReadLine(int fd, char* buf, int max);
    // Removes every trailing "\n" and "\t".
    virtual void ProxyStripEOL(std::string& s);

    // The last failure's text (never reset by a success) and code (always 0).
    void GetLastError(std::string& text, int* code = nullptr) const;

protected:
    static constexpr char kDelimiter = '\x15';

    Map mProxyToHostMap;  // proxy base path -> host base path
    bool mEnabled = false;
    char mDelimiter = kDelimiter;
    std::string mLastErrorText = "No Error";
    int mLastErrorCode = 0;

private:
    // Copies a string form's result (and its text) into a caller's buffer.
    int CopyToBuffer(int result, const std::string& text, char* out, int outSize);
};
