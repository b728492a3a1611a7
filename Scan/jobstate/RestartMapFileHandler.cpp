#include "scan/jobstate/RestartMapFileHandler.h"

#include <sys/types.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string_view>

#include "core/Env.h"
#include "core/File.h"
#include "core/LogWriter.h"
#include "core/Path.h"
#include "core/StringUtil.h"
#include "core/Sync.h"

namespace {

constexpr const char* kFullMapName = "CollectMap_Tot.zyf";
// "lnc" (lower-case L) is deliberate: it is the name earlier jobs left on disk.
constexpr const char* kIncMapName = "CollectMap_lnc.zyf";
constexpr const char* kFullNumColPrefix = "NumColTot";
constexpr const char* kIncNumColPrefix = "NumColInc";
constexpr std::string_view kVersionTag = "!!!VERSION=";
constexpr std::string_view kCountTag = "!!!RECS_COUNT=";
constexpr std::string_view kSeparator = "\\/\\/";
constexpr unsigned kWrittenVersion = 1;

using EntryMap = std::map<uint32_t, CRestartMapFileEntry>;

// Lines of any length, read into one buffer that is reused from line to line.
class CLineReader {
public:
    explicit CLineReader(FILE* file) : m_file(file) {}
    ~CLineReader() { std::free(m_buffer); }
    CLineReader(const CLineReader&) = delete;
    CLineReader& operator=(const CLineReader&) = delete;

    // False at the end of the file or on a stream error (tell them apart with ferror).
    bool Next(std::string_view& line) {
        ssize_t n = ::getline(&m_buffer, &m_capacity, m_file);
        if (n < 0) return false;
        line = std::string_view(m_buffer, static_cast<size_t>(n));
        return true;
    }

private:
    FILE* m_file;
    char* m_buffer = nullptr;
    size_t m_capacity = 0;
};

// Splits "path\/\/offset" at the last separator; a path may itself hold the separator.
bool SplitRecord(std::string_view line, std::string_view& path, int64_t& offset) {
    size_t pos = line.rfind(kSeparator);
    if (pos == std::string_view::npos) return false;
    path = line.substr(0, pos);
    // getline's buffer ends in a NUL, so strtoll stops there at the latest.
    offset = std::strtoll(line.data() + pos + kSeparator.size(), nullptr, 10);
    return true;
}

bool StartsWith(std::string_view line, std::string_view tag) { return line.substr(0, tag.size()) == tag; }

}  // namespace

class CRestartMapFileMgrPrivate {
public:
    CKoError Init(const std::string& folder, bool isFull, bool create);
    CKoError AddEntryIfNotExist(const CRestartMapFileEntry& entry, unsigned& restartId);
    CKoError RemoveEntry(const std::string& path);
    CKoError RemoveEntry(unsigned restartId);
    CKoError UpdateRestartOffset(const std::string& path, int64_t offset);
    CKoError UpdateRestartOffset(unsigned restartId, int64_t offset);
    CKoError FlushToFile();

    FXCriticalSection m_lock;
    bool m_isFull = false;
    std::string m_folder;
    std::string m_mapFilePath;
    uint32_t m_nextRestartId = 0;
    EntryMap m_entries;

private:
    // Finds entries by path without regard to case. Paths that differ only in case may both come
    // from a file; a look-up finds the one with the lowest id.
    struct SNameKey {
        std::string name;
        uint32_t id;
    };
    struct SNameProbe {
        std::string_view name;
        uint32_t id;
    };
    struct SNameLess {
        using is_transparent = void;
        template <class A, class B>
        bool operator()(const A& a, const B& b) const {
            int c = FXString::CompareNoCase(a.name, b.name);
            return c < 0 || (c == 0 && a.id < b.id);
        }
    };
    using NameIndex = std::set<SNameKey, SNameLess>;

    NameIndex::iterator FindByName(std::string_view path) {
        auto it = m_byName.lower_bound(SNameProbe{path, 0});
        if (it != m_byName.end() && FXString::EqualsNoCase(it->name, path)) return it;
        return m_byName.end();
    }
    void RebuildNameIndex() {
        m_byName.clear();
        for (const auto& [id, entry] : m_entries) m_byName.insert(SNameKey{entry.GetCollectFilePath(), id});
    }

    std::string CalculateRestartMapFilePath(bool isFull) const;
    std::string TempFilePath() const { return m_mapFilePath + ".tmp"; }
    CKoError CreateRestartMapFile(const std::string& path);
    CKoError OpenAndPopulateFromRestartMapFile(const std::string& path);
    static unsigned ExtractVersionNumber(std::string_view firstLine);
    CKoError PopulateFromRestartMapFile_V0(FILE* file, EntryMap& entries, uint32_t& nextId) const;
    CKoError PopulateFromRestartMapFile_V1(FILE* file, EntryMap& entries, uint32_t& nextId) const;
    CKoError ExtractRestartIdFromNumCol(std::string_view path, uint32_t& restartId) const;
    CKoError WriteMapFile(FILE* file) const;

    NameIndex m_byName;
};

// ---------------------------------------------------------------------------------------------

std::string CRestartMapFileMgrPrivate::CalculateRestartMapFilePath(bool isFull) const {
    return FXPath::Join(m_folder, isFull ? kFullMapName : kIncMapName);
}

CKoError CRestartMapFileMgrPrivate::Init(const std::string& folder, bool isFull, bool create) {
    m_folder = folder;
    m_isFull = isFull;
    m_entries.clear();
    m_byName.clear();
    m_mapFilePath = CalculateRestartMapFilePath(isFull);
    if (create) return CreateRestartMapFile(m_mapFilePath);
    CKoError e = OpenAndPopulateFromRestartMapFile(m_mapFilePath);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CRestartMapFileMgrPrivate::CreateRestartMapFile(const std::string& path) {
    CKoError e = FXFile::RemoveFile(path);
    if (FXErrorUtil::IsNotWin32(e, ZyWin32::ERROR_FILE_NOT_FOUND))
        ZYLOG_ERROR("Failed to remove restart map file, error=%s", e.AsString().c_str());
    // A flush killed before its rename leaves this behind; it holds nothing the new job wants.
    FXFile::RemoveFile(TempFilePath()).IgnoreError();
    return CKoError::Success();
}

unsigned CRestartMapFileMgrPrivate::ExtractVersionNumber(std::string_view firstLine) {
    // The marker opens the line it is written on; a version-0 record whose path merely contains
    // the text is still a record.
    if (!StartsWith(firstLine, kVersionTag)) return 0;
    return static_cast<unsigned>(std::strtoul(firstLine.data() + kVersionTag.size(), nullptr, 10));
}

CKoError CRestartMapFileMgrPrivate::OpenAndPopulateFromRestartMapFile(const std::string& path) {
    FXFileHandle file;
    CKoError e = FXFile::zyfopen(path, "r", file);
    if (e.IsError()) return e.Push(ZY_HERE, "Error opening restart map file [%s]", path.c_str());

    unsigned version = 0;
    {
        CLineReader reader(file.Get());
        std::string_view firstLine;
        if (!reader.Next(firstLine)) {
            if (std::ferror(file.Get()))
                return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "Error in reading data from restart map file [%s]",
                                               path.c_str());
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_GENERAL_FAILURE,
                                           "Error in reading data from restart map file [%s]", path.c_str());
        }
        version = ExtractVersionNumber(firstLine);
    }

    // Loaded aside and taken over only when the whole file was good.
    EntryMap entries;
    uint32_t nextId = m_nextRestartId;
    if (version == 0) {
        e = PopulateFromRestartMapFile_V0(file.Get(), entries, nextId);
        if (e.IsError()) return e.Push(ZY_HERE, "Error in population records from restart map file [%s]", path.c_str());
    } else if (version == 1) {
        e = PopulateFromRestartMapFile_V1(file.Get(), entries, nextId);
        if (e.IsError()) return e.Push(ZY_HERE, "Error in populating records from restart map file [%s]", path.c_str());
    } else {
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_GENERAL_FAILURE,
                                       "Invalid version in restart map file [%s], Version found=[%u]", path.c_str(),
                                       version);
    }
    m_entries.swap(entries);
    m_nextRestartId = nextId;
    RebuildNameIndex();
    ZYLOG(3, "Loaded restart map file [%s], Version=[%u], Entries=[%zu], NextRestartId=[%u]", path.c_str(), version,
          m_entries.size(), m_nextRestartId);
    return CKoError::Success();
}

CKoError CRestartMapFileMgrPrivate::ExtractRestartIdFromNumCol(std::string_view path, uint32_t& restartId) const {
    std::string prefix = FXPath::Join(m_folder, m_isFull ? kFullNumColPrefix : kIncNumColPrefix);
    constexpr std::string_view suffix = ".zyf";
    if (!FXString::MatchLeft(path, prefix) || !FXString::MatchRight(path, suffix) ||
        path.size() < prefix.size() + suffix.size())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_GENERAL_FAILURE,
                                       "Not a NumCol collect file, Prefix=[%s]", prefix.c_str());
    std::string_view digits = path.substr(prefix.size(), path.size() - prefix.size() - suffix.size());
    uint64_t number = 0;
    bool valid = !digits.empty() && digits.size() <= 10;
    for (char c : digits) {
        if (c < '0' || c > '9') {
            valid = false;
            break;
        }
        number = number * 10 + static_cast<uint64_t>(c - '0');
    }
    // NumCol files are numbered from 1.
    if (!valid || number == 0 || number > UINT32_MAX)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_GENERAL_FAILURE, "Invalid NumCol number, Number=[%.*s]",
                                       static_cast<int>(digits.size()), digits.data());
    restartId = static_cast<uint32_t>(number - 1);
    return CKoError::Success();
}

CKoError CRestartMapFileMgrPrivate::PopulateFromRestartMapFile_V0(FILE* file, EntryMap& entries,
                                                                  uint32_t& nextId) const {
    if (std::fseek(file, 0, SEEK_SET) != 0)
        return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "Error in seeking restart map file");
    CLineReader reader(file);
    std::string_view line;
    while (reader.Next(line)) {
        std::string_view path;
        int64_t offset = -1;
        if (!SplitRecord(line, path, offset))
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_GENERAL_FAILURE, "Record is corrupted");
        uint32_t restartId = 0;
        CKoError e = ExtractRestartIdFromNumCol(path, restartId);
        if (e.IsError()) {
            std::string p(path);
            ZYLOG_ERROR("Error in extracting the restart id from the NumCol, FilePath=[%s], error=%s", p.c_str(),
                        e.AsString().c_str());
            continue;
        }
        if (entries.emplace(restartId, CRestartMapFileEntry(std::string(path), offset)).second) ++nextId;
    }
    if (std::ferror(file)) return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "Error reading file");
    return CKoError::Success();
}

CKoError CRestartMapFileMgrPrivate::PopulateFromRestartMapFile_V1(FILE* file, EntryMap& entries,
                                                                  uint32_t& nextId) const {
    CLineReader reader(file);
    std::string_view line;
    bool trailerFound = false;
    unsigned long long recordedCount = 0;
    while (reader.Next(line)) {
        // As with the version marker, the count marker opens its line.
        if (StartsWith(line, kCountTag)) {
            recordedCount = std::strtoull(line.data() + kCountTag.size(), nullptr, 10);
            trailerFound = true;
            break;
        }
        std::string_view path;
        int64_t offset = -1;
        if (!SplitRecord(line, path, offset))
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_GENERAL_FAILURE, "Record is corrupted");
        entries.emplace(nextId, CRestartMapFileEntry(std::string(path), offset));
        ++nextId;
    }
    if (std::ferror(file)) return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "Error reading file");
    if (!trailerFound) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_GENERAL_FAILURE, "File is corrupted");
    if (recordedCount != entries.size())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_GENERAL_FAILURE,
                                       "File is corrupted, NumOfRecs found=[%llu], NumOfRecs recorded=[%llu]",
                                       static_cast<unsigned long long>(entries.size()), recordedCount);
    return CKoError::Success();
}

// ---------------------------------------------------------------------------------------------

CKoError CRestartMapFileMgrPrivate::AddEntryIfNotExist(const CRestartMapFileEntry& entry, unsigned& restartId) {
    const std::string& path = entry.GetCollectFilePath();
    // A line feed would split the record and leave a map that no longer loads.
    if (path.empty() || path.find('\n') != std::string::npos)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER,
                                       "Invalid collect file path for restart map, FilePath=[%s]", path.c_str());
    auto found = FindByName(path);
    if (found != m_byName.end()) {
        restartId = found->id;
        return CKoError::Success();
    }
    // Ids loaded from a version-0 file come from the file names and may lie ahead of the counter.
    while (m_entries.count(m_nextRestartId)) ++m_nextRestartId;
    restartId = m_nextRestartId++;
    m_entries.emplace(restartId, entry);
    m_byName.insert(SNameKey{path, restartId});
    return CKoError::Success();
}

CKoError CRestartMapFileMgrPrivate::RemoveEntry(const std::string& path) {
    auto found = FindByName(path);
    if (found == m_byName.end())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_FOUND,
                                       "Entry not found in restart map, FilePath=[%s]", path.c_str());
    m_entries.erase(found->id);
    m_byName.erase(found);
    return CKoError::Success();
}

CKoError CRestartMapFileMgrPrivate::RemoveEntry(unsigned restartId) {
    auto it = m_entries.find(restartId);
    if (it == m_entries.end())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_FOUND,
                                       "Entry not found in restart map, RestartId=[%u]", restartId);
    auto named = m_byName.find(SNameProbe{it->second.GetCollectFilePath(), restartId});
    if (named != m_byName.end()) m_byName.erase(named);
    m_entries.erase(it);
    return CKoError::Success();
}

CKoError CRestartMapFileMgrPrivate::UpdateRestartOffset(const std::string& path, int64_t offset) {
    auto found = FindByName(path);
    if (found == m_byName.end())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_FOUND,
                                       "Entry not found in restart map, FilePath=[%s]", path.c_str());
    m_entries[found->id].SetRestartOffset(offset);
    return CKoError::Success();
}

CKoError CRestartMapFileMgrPrivate::UpdateRestartOffset(unsigned restartId, int64_t offset) {
    auto it = m_entries.find(restartId);
    if (it == m_entries.end())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_FOUND,
                                       "Entry not found in restart map, RestartId=[%u]", restartId);
    it->second.SetRestartOffset(offset);
    return CKoError::Success();
}

// ---------------------------------------------------------------------------------------------

CKoError CRestartMapFileMgrPrivate::WriteMapFile(FILE* file) const {
    const char* path = m_mapFilePath.c_str();
    if (std::fprintf(file, "%s%u \n", kVersionTag.data(), kWrittenVersion) < 0)
        return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "Error in writing the header in restart map file [%s]", path);
    for (const auto& [id, entry] : m_entries) {
        (void)id;
        // The path's bytes as they are: "%s" would stop at a NUL a loaded path may hold, and the
        // record would then lose its separator and the map no longer load.
        const std::string& collectPath = entry.GetCollectFilePath();
        if (std::fwrite(collectPath.data(), 1, collectPath.size(), file) != collectPath.size() ||
            std::fprintf(file, "%s%lld \n", kSeparator.data(), static_cast<long long>(entry.GetRestartOffset())) < 0)
            return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "Error in writing the entries in restart map file [%s]",
                                           path);
    }
    if (std::fprintf(file, "%s%llu \n", kCountTag.data(), static_cast<unsigned long long>(m_entries.size())) < 0)
        return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "Error in writing the header in restart map file [%s]", path);
    if (std::fflush(file) != 0)
        return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "Error in flushing restart map file [%s]", path);
    return CKoError::Success();
}

CKoError CRestartMapFileMgrPrivate::FlushToFile() {
    // The map is written beside the old one and moved over it once it is complete and on disk, so a
    // process killed at any point leaves either the old map or the new one.
    if (m_mapFilePath.empty())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "Restart map is not initialised");
    FXDurableReplace replace(m_mapFilePath);
    FXFileHandle file;
    CKoError e = replace.Open();
    if (e.IsSuccess()) e = FXFile::OpenReplaceStream(replace, file);
    if (e.IsError()) return e.Push(ZY_HERE, "Error opening restart map file [%s]", m_mapFilePath.c_str());
    std::setvbuf(file.Get(), nullptr, _IOFBF, 1 << 16);

    e = WriteMapFile(file.Get());
    if (e.IsSuccess()) {
        e = file.Close();
        if (e.IsError()) e.Push(ZY_HERE, "Error in flushing restart map file [%s]", m_mapFilePath.c_str());
    }
    if (e.IsSuccess()) {
        e = replace.Commit();
        if (e.IsError()) e.Push(ZY_HERE, "Error in flushing restart map file [%s]", m_mapFilePath.c_str());
    }
    // On failure the replacement removes its temporary file: of no use, and on a full disk it
    // holds the space.
    return e;
}

// ---------------------------------------------------------------------------------------------

CRestartMapFileHandler::CRestartMapFileHandler() : m_private(std::make_shared<CRestartMapFileMgrPrivate>()) {}

CKoError CRestartMapFileHandler::Init(const std::string& folder, bool isFull, bool create) {
    FXCriticalSection::Scoped lock(m_private->m_lock);
    CKoError e = m_private->Init(folder, isFull, create);
    if (e.IsError()) {
        ZYLOG_ERROR("Failed to initialise restart map, Folder=[%s], IsFull=[%d], Create=[%d], error=%s", folder.c_str(),
                    isFull ? 1 : 0, create ? 1 : 0, e.AsString().c_str());
        return e.Push(ZY_HERE);
    }
    return CKoError::Success();
}

CKoError CRestartMapFileHandler::AddEntryIfNotExist(const CRestartMapFileEntry& entry, unsigned& restartId) {
    FXCriticalSection::Scoped lock(m_private->m_lock);
    return m_private->AddEntryIfNotExist(entry, restartId);
}

namespace {
std::string_view FileNameOf(std::string_view path) {
    size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}
}  // namespace

CKoError CRestartMapFileHandler::AddEntriesFromCollectInfoIfNotExist(FileScan::CollectInfo& collectInfo) {
    FXCriticalSection::Scoped lock(m_private->m_lock);
    auto add = [this](const FileScan::Collect& collect) {
        CRestartMapFileEntry entry(FXPath::Join(m_private->m_folder, FileNameOf(collect.path)), -1);
        unsigned restartId = 0;
        CKoError e = m_private->AddEntryIfNotExist(entry, restartId);
        if (e.IsError()) ZYLOG_ERROR("Failed to add entry into restart map, error=%s", e.AsString().c_str());
    };
    for (const auto& disk : collectInfo.disks)
        for (const auto& volume : disk.volumes)
            for (const auto& collect : volume.collects) add(collect);
    for (const auto& component : collectInfo.components)
        for (const auto& collect : component.collects) add(collect);
    return CKoError::Success();
}

CKoError CRestartMapFileHandler::RemoveEntry(const std::string& collectFilePath) {
    FXCriticalSection::Scoped lock(m_private->m_lock);
    return m_private->RemoveEntry(collectFilePath);
}

CKoError CRestartMapFileHandler::RemoveEntry(unsigned restartId) {
    FXCriticalSection::Scoped lock(m_private->m_lock);
    return m_private->RemoveEntry(restartId);
}

CKoError CRestartMapFileHandler::UpdateRestartOffset(const std::string& collectFilePath, int64_t restartOffset) {
    FXCriticalSection::Scoped lock(m_private->m_lock);
    return m_private->UpdateRestartOffset(collectFilePath, restartOffset);
}

CKoError CRestartMapFileHandler::UpdateRestartOffset(unsigned restartId, int64_t restartOffset) {
    FXCriticalSection::Scoped lock(m_private->m_lock);
    return m_private->UpdateRestartOffset(restartId, restartOffset);
}

CKoError CRestartMapFileHandler::PopulateEntries(std::vector<std::pair<unsigned, CRestartMapFileEntry>>& entries) {
    FXCriticalSection::Scoped lock(m_private->m_lock);
    entries.reserve(entries.size() + m_private->m_entries.size());
    for (const auto& [id, entry] : m_private->m_entries) entries.emplace_back(id, entry);
    return CKoError::Success();
}

CKoError CRestartMapFileHandler::FlushToFile() {
    FXCriticalSection::Scoped lock(m_private->m_lock);
    CKoError e = m_private->FlushToFile();
    if (e.IsError()) {
        ZYLOG_ERROR("Failed to flush restart map, error=%s", e.AsString().c_str());
        return e.Push(ZY_HERE);
    }
    return CKoError::Success();
}

std::string CRestartMapFileHandler::GetRestartMapFilePath() const {
    FXCriticalSection::Scoped lock(m_private->m_lock);
    return m_private->m_mapFilePath;
}
