#include "scan/dirchange/FileRegistry.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>

#include "core/Env.h"
#include "core/LogWriter.h"
#include "scan/dirchange/PositionalLineSource.h"
#include "scan/dirchange/TreeDirChangeFileReader.h"

namespace {

// The names of the folder read last, for the whole process.
struct NameCache {
    std::mutex mutex;
    uint64_t owner = 0;  // the version of the registry whose names these are; 0: none
    std::set<std::string> names;
    bool loggedNotSupported = false;
    uint64_t loads = 0;
};

NameCache& TheCache() {
    static NameCache cache;
    return cache;
}

std::atomic<uint64_t> g_nextVersion{1};

uint64_t NextVersion() { return g_nextVersion.fetch_add(1, std::memory_order_relaxed); }

// Lines of one segment are short: a small buffer over a small window.
constexpr size_t kSegmentReadBuffer = 1024;
constexpr size_t kSegmentWindow = 4096;

}  // namespace

FileRegistry::FileRegistry() : m_version(NextVersion()) {}

FileRegistry::~FileRegistry() = default;

void FileRegistry::startSegment(int64_t offset) {
    m_segments.emplace_back(offset, -1);
    m_version = NextVersion();
}

void FileRegistry::closeSegment(int64_t offset) {
    if (m_segments.empty()) return;
    m_segments.back().second = offset;
    m_version = NextVersion();
    if (m_segments.size() - std::min(m_packed, m_segments.size()) > kPackEvery) pack();
}

void FileRegistry::pack() {
    if (m_segments.size() == m_packed) return;
    std::sort(m_segments.begin(), m_segments.end(),
                     [](const Segment& a, const Segment& b) { return a.first < b.first; });
    size_t kept = 0;
    for (size_t i = 0; i < m_segments.size(); ++i) {
        if (kept > 0 && m_segments[kept - 1].second >= 0 && m_segments[kept - 1].second == m_segments[i].first) {
            m_segments[kept - 1].second = m_segments[i].second;
            continue;
        }
        m_segments[kept++] = m_segments[i];
    }
    m_segments.resize(kept);
    m_packed = m_segments.size();
    m_version = NextVersion();
}

CKoError FileRegistry::ReadNames(const std::string& fileName, std::set<std::string>& names) const {
    SymLinkItemInfo info(0, fileName);
    return ReadNames(info, names);
}

CKoError FileRegistry::ReadNames(const SymLinkItemInfo& info, std::set<std::string>& names) const {
    if (m_segments.empty()) return CKoError::Success();
    const std::string& fileName = info.GetFileName();
    std::shared_ptr<FXRandomAccessFile> file = info.GetReader();
    if (!file) {
        std::unique_ptr<FXRandomAccessFile> opened;
        CKoError error = FXEnv::Current()->NewRandomAccessFile(fileName, opened);
        if (error.IsError()) {
            ZYLOG_ERROR("can't open input file '%s' (errno:%d)", fileName.c_str(),
                        FXErrorUtil::IsFamily(error, EErrorFamily::ErrNo) ? static_cast<int>(error.GetErrorCode()) : 0);
            return error.Push(ZY_HERE);
        }
        file = std::move(opened);
    }
    CKoError error;
    ZYLOG(6, "loading data from '%s'", fileName.c_str());
    CPositionalLineSource source(file.get(), kSegmentWindow);
    CLineBuffer buffer(kSegmentReadBuffer);
    std::string name;
    for (const Segment& segment : m_segments) {
        ZYLOG(6, " == range: %llu - %llu", static_cast<unsigned long long>(segment.first),
              static_cast<unsigned long long>(segment.second));
        // A segment starts right after a line, or it was not taken from this file.
        if (segment.first > 0) {
            char before = 0;
            bool got = false;
            error = source.ByteAt(static_cast<uint64_t>(segment.first - 1), before, got);
            if (error.IsSuccess() && (!got || before != '\n'))
                error = FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "Segment does not start a line");
        }
        if (error.IsSuccess()) error = source.Seek(static_cast<uint64_t>(segment.first));
        if (error.IsError()) {
            ZYLOG_ERROR("can't seek to %llu in file '%s' (errno:%d)", static_cast<unsigned long long>(segment.first),
                        fileName.c_str(), 0);
            return error.Push(ZY_HERE, "FileName=[%s]", fileName.c_str());
        }
        buffer.Reset(static_cast<uint64_t>(segment.first));
        for (;;) {
            if (segment.second >= 0 && buffer.Offset() >= static_cast<uint64_t>(segment.second)) break;
            std::string_view line;
            bool got = false;
            error = buffer.Next(source, line, got);
            if (error.IsError()) return error.Push(ZY_HERE, "FileName=[%s]", fileName.c_str());
            // Only whole TAB lines: a folder line (or anything else) ends the folder's block.
            if (!got || !buffer.EndedByNewline() || line.empty() || line[0] != '\t') break;
            line.remove_prefix(1);
            const size_t cr = line.find('\r');
            if (cr != std::string_view::npos) line = line.substr(0, cr);
            // What the loader left out is not a name here either.
            if (!CTreeDirChangeFileReader::IsUsableName(line)) continue;
            name.assign(line);
            names.insert(name);
            ZYLOG(20, " added [%s]", name.c_str());
        }
    }
    return CKoError::Success();
}

CKoError FileRegistry::loadCahce(const SymLinkItemInfo& info) {
    NameCache& cache = TheCache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    cache.owner = 0;
    cache.names.clear();
    CKoError error = ReadNames(info, cache.names);
    if (error.IsError()) {
        cache.names.clear();
        return error.Push(ZY_HERE);
    }
    ZYLOG(6, "Loaded %llu files into cache", static_cast<unsigned long long>(cache.names.size()));
    cache.owner = m_version;
    ++cache.loads;
    return CKoError::Success();
}

void FileRegistry::clearCache() {
    NameCache& cache = TheCache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    cache.owner = 0;
    cache.names.clear();
}

uint64_t FileRegistry::GetCacheLoadCount() {
    NameCache& cache = TheCache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    return cache.loads;
}

CKoError FileRegistry::Lookup(const std::string& name, const SymLinkItemInfo& info, bool& found) {
    found = false;
    NameCache& cache = TheCache();
    {
        std::lock_guard<std::mutex> lock(cache.mutex);
        if (cache.owner == m_version) {
            found = cache.names.count(name) != 0;
            return CKoError::Success();
        }
    }
    CKoError error = loadCahce(info);
    if (error.IsError()) return error.Push(ZY_HERE);
    std::lock_guard<std::mutex> lock(cache.mutex);
    // Another thread may have taken the cache meanwhile; then the question is read again.
    if (cache.owner != m_version) {
        std::set<std::string> names;
        error = ReadNames(info, names);
        if (error.IsError()) return error.Push(ZY_HERE);
        found = names.count(name) != 0;
        return CKoError::Success();
    }
    found = cache.names.count(name) != 0;
    return CKoError::Success();
}

EPathCacheResult FileRegistry::search(const std::string& name, bool fromDirChange, const SymLinkItemInfo& info) {
    if (!fromDirChange) {
        NameCache& cache = TheCache();
        std::lock_guard<std::mutex> lock(cache.mutex);
        if (!cache.loggedNotSupported) {
            cache.loggedNotSupported = true;
            ZYLOG(0, "Search collect file for file name is not supported.");
        }
        return EPathCacheResult::FOUND_EXACT;
    }
    bool found = false;
    CKoError error = Lookup(name, info, found);
    if (error.IsError()) {
        ZYLOG_ERROR("Unable load file list from DC:%s", info.GetFileName().c_str());
        return EPathCacheResult::FOUND_EXACT;
    }
    return found ? EPathCacheResult::FOUND_EXACT : EPathCacheResult::NOT_FOUND;
}
