#include "scan/dirchange/OutputCache.h"

#include <stdio.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "core/Env.h"
#include "core/File.h"
#include "core/LogWriter.h"
#include "core/PlatformInfo.h"
#include "core/StringUtil.h"

namespace {

constexpr int kRecordLevel = 4;
constexpr int kLookupLevel = 2;
constexpr int kLineLevel = 7;
constexpr int kDumpLevel = 2;

// A file path split at its last "/"; a folder is its own folder.
void SplitObject(std::string_view path, bool isDir, std::string_view& folder, std::string_view& name) {
    if (isDir) {
        folder = path;
        name = std::string_view();
        return;
    }
    const size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) {
        folder = std::string_view();
        name = path;
    } else {
        folder = path.substr(0, slash);
        name = path.substr(slash + 1);
    }
}

// The DirChange file has ids 0 and -1; every other id is a collect file.
bool IsDirChangeFile(int fileId) { return fileId == 0 || fileId == -1; }

}  // namespace

void PathInfo::AddRange(uint64_t start, uint64_t end) {
    ranges.emplace_back(start, end);
    packed = false;
    if (ranges.size() - packedCount > kPackAfter) Pack();
}

void PathInfo::Pack() {
    std::sort(ranges.begin(), ranges.end(),
              [](const std::pair<uint64_t, uint64_t>& a, const std::pair<uint64_t, uint64_t>& b) { return a.first < b.first; });
    size_t kept = 0;
    for (size_t i = 0; i < ranges.size(); ++i) {
        if (kept > 0 && ranges[kept - 1].second == ranges[i].first)
            ranges[kept - 1].second = ranges[i].second;
        else
            ranges[kept++] = ranges[i];
    }
    ranges.resize(kept);
    packedCount = static_cast<uint32_t>(ranges.size());
    packed = true;
}

std::string PathInfo::RangesAsString() const {
    std::string text;
    for (const auto& range : ranges) {
        if (!text.empty()) text.push_back(',');
        text += std::to_string(range.first);
        text.push_back('-');
        text += std::to_string(range.second);
    }
    return text;
}

std::shared_ptr<OutputCache> OutputCache::newOutputCache(OutputCache_Mode mode) {
    return std::make_shared<OutputCacheDirChangeImpl>(mode);
}

OutputCacheDirChangeImpl::OutputCacheDirChangeImpl(OutputCache_Mode mode) : m_mode(mode) {
    long long value = 1;
    if (ZYPlatformInfo::getNumber("FileSystemAgent", "nCacheNames", value).IsSuccess()) m_cacheNames = value != 0;
    // "Cahce" is deliberate: log readers search for this exact text.
    ZYLOG(kLookupLevel, "DirChangeCahce: name caching is %s", m_cacheNames ? "enabled" : "disabled");
}

OutputCacheDirChangeImpl::~OutputCacheDirChangeImpl() = default;

OutputCacheDirChangeImpl::FileRecord& OutputCacheDirChangeImpl::Record(int fileId) {
    auto it = m_files.find(fileId);
    if (it != m_files.end()) {
        ZYLOG(kRecordLevel, "found file record for fileID:%d", fileId);
        return *it->second;
    }
    ZYLOG(kRecordLevel, "created new file record for fileID:%d", fileId);
    auto record = std::make_unique<FileRecord>();
    record->id = fileId;
    return *m_files.emplace(fileId, std::move(record)).first->second;
}

int OutputCacheDirChangeImpl::registerFile(int fileId, const std::string& name) {
    if (fileId < -1) {
        ZYLOG_ERROR("fileID must be >= -1");
        return -1;
    }
    Record(fileId).fileName = name;
    return 0;
}

int OutputCacheDirChangeImpl::addObject(int fileId, const char* path, bool isDir, uint64_t start, uint64_t end) {
    if (!path) return -1;
    if (m_mode == OUTPUT_CACHE_FOLDERS && !isDir) return 0;
    FileRecord& record = Record(fileId);
    std::string_view folder, name;
    SplitObject(path, isDir, folder, name);
    FolderTrie::NodePtr node;
    EPathCacheResult result;
    CKoError error = record.folders.SearchOrInsert(folder, node, result);
    if (error.IsError()) {
        ZYLOG_ERROR("Cannot add '%s' to the output cache, error=%s", path, error.AsString().c_str());
        return -1;
    }
    PathInfo& info = node->GetData();
    if (m_mode == OUTPUT_CACHE_FOLDERS_AND_FILES) info.AddRange(start, end);
    if (isDir) info.isDir = true;
    return 0;
}

bool OutputCacheDirChangeImpl::SearchFile(FileRecord& record, const PathInfo& info, std::string_view folder,
                                          std::string_view name, uint64_t* offset) {
    const std::string wanted(name);
    ZYLOG(kRecordLevel, "looking for '%s' in collect ID %d", wanted.c_str(), record.id);
    if (m_cacheNames) {
        m_key.assign(folder).append("/").append(name);
        const auto known = record.names.find(m_key);
        if (known != record.names.end()) {
            if (offset) *offset = known->second;
            ZYLOG(kRecordLevel, "=== '%s' is %s", wanted.c_str(), "found");
            return true;
        }
    }
    FXFileHandle file;
    // The errno comes from the error itself: anything called after the failure may change errno.
    const CKoError opened = FXFile::zyfopen(record.fileName, "rb", file);
    if (opened.IsError()) {
        ZYLOG_ERROR("can't open input file '%s' to search for '%s' (errno:%d)", record.fileName.c_str(), wanted.c_str(),
                    FXEnvErrno(opened));
        return false;
    }
    const bool dirChangeFile = IsDirChangeFile(record.id);
    char* buffer = nullptr;
    size_t capacity = 0;
    bool found = false;
    for (const auto& range : info.ranges) {
        ZYLOG(kLineLevel, " == range: %llu - %llu", static_cast<unsigned long long>(range.first),
              static_cast<unsigned long long>(range.second));
        if (::fseeko(file.Get(), static_cast<off_t>(range.first), SEEK_SET) != 0) {
            const int err = errno;
            ZYLOG_ERROR("can't seek to %llu in file '%s' to search for '%s' (errno:%d)",
                        static_cast<unsigned long long>(range.first), record.fileName.c_str(), wanted.c_str(), err);
            continue;
        }
        bool firstLine = true;
        for (;;) {
            const off_t lineStart = ::ftello(file.Get());
            if (lineStart < 0 || static_cast<uint64_t>(lineStart) >= range.second) break;
            const ssize_t got = ::getline(&buffer, &capacity, file.Get());
            if (got < 0) break;
            std::string_view line(buffer, static_cast<size_t>(got));
            while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
            std::string_view lineName;
            if (dirChangeFile) {
                if (!line.empty() && line[0] == '/') {
                    // The folder line opens the range; the next folder line ends it.
                    if (!firstLine) break;
                    firstLine = false;
                    continue;
                }
                lineName = line.empty() ? line : line.substr(1);
            } else {
                const size_t bar = line.find('|');
                if (bar != std::string_view::npos) line = line.substr(0, bar);
                const size_t slash = line.rfind('/');
                lineName = slash == std::string_view::npos ? line : line.substr(slash + 1);
            }
            firstLine = false;
            if (ZyLogEnabled(kLineLevel)) {
                const std::string shown(lineName);
                ZYLOG(kLineLevel, " [%s] vs [%s]", shown.c_str(), wanted.c_str());
            }
            if (m_cacheNames) {
                m_key.assign(folder).append("/").append(lineName);
                record.names.emplace(m_key, static_cast<uint64_t>(lineStart));
            }
            if (!found && lineName == name) {
                found = true;
                if (offset) *offset = static_cast<uint64_t>(lineStart);
                // Without the name cache there is nothing to gain from reading on.
                if (!m_cacheNames) break;
            }
        }
        if (found) break;
    }
    std::free(buffer);
    ZYLOG(kRecordLevel, "=== '%s' is %s", wanted.c_str(), found ? "found" : "not found");
    return found;
}

bool OutputCacheDirChangeImpl::isInCache(int fileId, const char* path, bool isDir, uint64_t* offset) {
    if (!path) return false;
    FileRecord& record = Record(fileId);
    std::string_view folder, name;
    SplitObject(path, isDir, folder, name);
    FolderTrie::NodePtr node;
    const bool found = record.folders.Search(folder, node) == EPathCacheResult::FOUND_EXACT;
    bool rc;
    if (found && !isDir && m_mode == OUTPUT_CACHE_FOLDERS_AND_FILES) {
        const std::string shown(folder);
        ZYLOG(kLookupLevel, "Have a PathInfo data for directory '%s'", shown.c_str());
        rc = SearchFile(record, node->GetData(), folder, name, offset);
    } else if (found && isDir) {
        rc = node->GetData().isDir;
    } else {
        const std::string shown(folder);
        ZYLOG(kLookupLevel, "Have no PathInfo data for directory '%s'", shown.c_str());
        rc = found;
    }
    ZYLOG(kLookupLevel, "fileID:%d isDir:%d path[%s] rc:%d", fileId, isDir ? 1 : 0, path, rc ? 1 : 0);
    return rc;
}

void OutputCacheDirChangeImpl::dump(int fileId) {
    if (!ZyLogEnabled(kDumpLevel)) return;
    FileRecord& record = Record(fileId);
    ZYLOG(kDumpLevel, "DUMP for file id %d", fileId);
    record.folders.DumpToLog(kDumpLevel, FXString::Format("file:%d:", fileId),
                             [](const std::string& prefix, const std::string& indentation, const std::string& name,
                                const FolderTrie::Node& node) {
                                 const PathInfo& info = node.GetData();
                                 return FXString::Format(":%d %s: 0x%p %s %s %s[%s]", __LINE__, prefix.c_str(),
                                                         static_cast<const void*>(&node), indentation.c_str(),
                                                         name.c_str(), info.isDir ? "as directory " : "",
                                                         info.RangesAsString().c_str());
                             });
}
