// Per-volume change-time databases: folded from a backup's FSMeta files, consulted by the next scan.
#include "scan/fsservices/ATimePreserver.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "agent/BatchSort.h"
#include "agent/Item.h"
#include "agent/PlatformServices.h"
#include "agent/VolumeInfo.h"
#include "core/Env.h"
#include "core/LogWriter.h"
#include "core/StringUtil.h"
#include "core/Sync.h"

namespace {

constexpr const char* kMetaFolder = "FSMetaFiles";
constexpr const char* kDBFolder = "FSMetaDB";

bool Exists(const std::string& path, bool& isDir) {
    FXFileStat st;
    if (FXEnv::Current()->Stat(path, st).IsError()) return false;
    isDir = st.IsDirectory();
    return true;
}

// mkdir -p through the seam.
CKoError CreateTree(const std::string& path) {
    FXEnv* env = FXEnv::Current();
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/') continue;
        CKoError e = env->CreateDir(path.substr(0, pos), 0700);
        if (e.IsError() && !FXErrorUtil::IsWin32(e, ZyWin32::ERROR_ALREADY_EXISTS)) return e.Push(ZY_HERE);
    }
    return CKoError::Success();
}

CKoError RemoveTree(const std::string& path) {
    FXEnv* env = FXEnv::Current();
    FXFileStat st;
    CKoError e = env->Stat(path, st);
    if (e.IsError()) return FXErrorUtil::IsWin32(e, ZyWin32::ERROR_FILE_NOT_FOUND) ? CKoError::Success() : e;
    if (!st.IsDirectory()) return env->RemoveFile(path);
    std::vector<std::string> names;
    e = env->GetChildren(path, names);
    for (size_t i = 0; e.IsSuccess() && i < names.size(); ++i) e = RemoveTree(path + "/" + names[i]);
    if (e.IsSuccess()) e = env->RemoveDir(path);
    return e;
}

// "<decimal>" with nothing else, no sign, no overflow.
bool ParseUnsigned(std::string_view text, uint64_t& value) {
    if (text.empty() || text.size() > 20) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        const uint64_t next = value * 10 + uint64_t(c - '0');
        if (next / 10 != value) return false;
        value = next;
    }
    return true;
}

}  // namespace

CATimePreserver::CATimePreserver(std::shared_ptr<ZyScanDBImports> imports) : m_imports(std::move(imports)) {}

CATimePreserver::~CATimePreserver() {
    if (m_initialized && m_sourceDBOpen && m_db) {
        CKoError e = m_db->Close();
        if (e.IsError()) ZYLOG_ERROR("Cannot close the VolumeCTimeDB due to %s", e.AsString().c_str());
    }
}

CKoError CATimePreserver::initialize() {
    if (!m_imports) m_imports = ZyScanDBImports::Default();
    if (!m_imports)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "Cannot initialize the Import Handle");
    CKoError e = m_imports->CreateScanDBObject(m_db);
    if (e.IsError() || !m_db)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "Cannot create ZyScanDB Object");
    m_initialized = true;
    return CKoError::Success();
}

CKoError CATimePreserver::GetJobResultsDirectory() {
    if (!m_jobResultsDir.empty()) return CKoError::Success();
    const std::string client = ZYPI_Focus::getFocusClientName(true);
    CKoError e = ZYPI_CommClient::getJobResultsDirectory(client, m_jobResultsDir);
    if (e.IsError() || m_jobResultsDir.empty())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_FUNCTION_FAILED,
                                       "Error %lx obtaining location of FileSystemAgent Directory",
                                       static_cast<unsigned long>(e.IsError() ? e.GetErrorCode() : 0));
    ZYLOG(3, "The Job Results Directory is %s", m_jobResultsDir.c_str());
    return CKoError::Success();
}

std::string CATimePreserver::GetCTimeDBPaths(const std::string& guid, int kind) const {
    switch (kind) {
        case 0: return m_jobResultsDir + "/" + kDBFolder + "/" + guid + "_TemporaryDB";
        case 1: return m_jobResultsDir + "/" + kDBFolder + "/" + guid + "_CurrentDB";
        default: return std::string();
    }
}

// ---------------------------------------------------------------------------------------------
// After a backup

CKoError CATimePreserver::FindAndApplyCTimeMetaFiles() {
    CKoError e;
    if (!m_initialized) {
        e = initialize();
        if (e.IsError()) return e.Push(ZY_HERE, "Cannot initialize this class members");
    }
    e = GetJobResultsDirectory();
    std::vector<std::string> files;
    if (e.IsSuccess()) e = FindAllFiles(m_jobResultsDir + "/2", files);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot Apply CTime MetaFiles to the Databases");
    ZYLOG(2, "Found %d FSMetaFiles", static_cast<int>(files.size()));
    std::map<std::string, std::vector<std::string>> byGuid;
    e = SplitFilesByGUID(files, byGuid);
    if (e.IsSuccess()) e = ApplyAllFilesToDatabase(byGuid);
    return e.IsError() ? e.Push(ZY_HERE, "Cannot Apply CTime MetaFiles to the Databases") : e;
}

CKoError CATimePreserver::FindAllFiles(const std::string& folder, std::vector<std::string>& files) {
    const size_t slash = folder.find_last_of('/');
    const bool isMeta = folder.substr(slash == std::string::npos ? 0 : slash + 1) == kMetaFolder;
    return FindAllFilesIn(folder, isMeta, files);
}

CKoError CATimePreserver::FindAllFilesIn(const std::string& folder, bool isMetaFolder, std::vector<std::string>& files) {
    std::vector<std::string> names;
    // An enumeration that fails (a missing "2" included) is the end of the walk.
    if (FXEnv::Current()->GetChildren(folder, names).IsError()) return CKoError::Success();
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        if (name == "." || name == "..") continue;
        const std::string path = folder + "/" + name;
        FXFileStat st;
        if (FXEnv::Current()->Stat(path, st).IsError()) continue;
        if (st.IsDirectory()) {
            ZYLOG(5, "Queing this folder [%s] to search for Preserve ATime Meta files", path.c_str());
            CKoError e = FindAllFiles(path, files);
            if (e.IsError()) return e.Push(ZY_HERE);
        } else if (isMetaFolder && st.IsRegular()) {
            ZYLOG(5, "Found Preserve ATime Meta File [%s]", path.c_str());
            files.push_back(path);
        }
    }
    return CKoError::Success();
}

CKoError CATimePreserver::SplitFilesByGUID(const std::vector<std::string>& files,
                                           std::map<std::string, std::vector<std::string>>& byGuid) {
    for (const std::string& file : files) {
        const std::string name = file.substr(file.find_last_of('/') + 1);
        const size_t bar = name.find('_');
        // A name without "_" has no GUID; it is left alone.
        if (bar == std::string::npos || bar == 0) continue;
        byGuid[name.substr(0, bar)].push_back(file);
    }
    return CKoError::Success();
}

CKoError CATimePreserver::ApplyAllFilesToDatabase(const std::map<std::string, std::vector<std::string>>& byGuid) {
    for (const auto& [guid, files] : byGuid) {
        CKoError e = ApplyFilesToDatabase(guid, files);
        if (e.IsError()) return e.Push(ZY_HERE, "Cannot apply FSMetaFiles to the Database for %s", guid.c_str());
    }
    return CKoError::Success();
}

CKoError CATimePreserver::ApplyFilesToDatabase(const std::string& guid, const std::vector<std::string>& files) {
    ZyNamedMutex mutex(guid);
    CKoError e = mutex.lock();
    if (e.IsSuccess()) e = OpenVolumeCTimeDB(guid);
    if (e.IsSuccess()) e = AppendAndSortMetaFiles(guid, files);
    if (e.IsSuccess()) e = ApplyVolumeCTimeDB(m_destinationFile);
    if (e.IsSuccess()) {
        e = CloseVolumeCTimeDB(guid);
    } else if (m_db->IsOpen()) {
        // Dropped without commit: the temporary copy is removed on the next pass.
        m_db->Close().IgnoreError();
    }
    if (e.IsSuccess()) e = CleanupMetaFiles(files);
    if (mutex.IsLocked()) mutex.unlock().IgnoreError();
    return e.IsError() ? e.Push(ZY_HERE, "Apply Files to Database Failed") : e;
}

CKoError CATimePreserver::OpenVolumeCTimeDB(const std::string& guid) {
    const std::string temporary = GetCTimeDBPaths(guid, 0);
    const std::string current = GetCTimeDBPaths(guid, 1);
    bool isDir = false;
    CKoError e;
    if (!Exists(temporary, isDir)) {
        e = CreateTree(temporary);
        if (e.IsError()) return e.Push(ZY_HERE, "Unable to create the directory structure %s", temporary.c_str());
    } else {
        e = m_db->Remove(temporary);
        if (e.IsError()) {
            ZYLOG_ERROR("Cannot remove Database files in %s directory", temporary.c_str());
            e = RemoveTree(temporary);
            if (e.IsSuccess()) e = CreateTree(temporary);
            if (e.IsError())
                return e.Push(ZY_HERE, "Remove this directory [%s] for backup job to proceed", temporary.c_str());
        }
    }
    // Any other leftover of an interrupted pass goes too: the copy starts from the current one.
    if (Exists(current, isDir) && isDir) {
        e = m_db->Copy(current, temporary);
        if (e.IsError()) return e.Push(ZY_HERE, "Cannot copy DB files from %s to %s", current.c_str(), temporary.c_str());
    }
    e = m_db->Initialize(temporary);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot Initialize the Database in Directory %s", temporary.c_str());
    ZYLOG(3, "Opened VolumeCTimeDB for Volume with GUID=[%s]", guid.c_str());
    return CKoError::Success();
}

CKoError CATimePreserver::AppendAndSortMetaFiles(const std::string& guid, const std::vector<std::string>& files) {
    FXEnv* env = FXEnv::Current();
    m_sourceFile = m_jobResultsDir + "/" + FXString::Format("%s_SourceFile.zyf", guid.c_str());
    m_destinationFile = m_jobResultsDir + "/" + FXString::Format("%s_DestFile.zyf", guid.c_str());
    m_sortWorkDir = m_jobResultsDir + "/ATimePreserver.tmp";
    const std::string sorted = m_jobResultsDir + "/" + FXString::Format("%s.tmp", guid.c_str());
    for (const std::string& old : {m_sourceFile, m_destinationFile}) env->RemoveFile(old).IgnoreError();
    CKoError e = AppendMetaFiles(m_sourceFile, files);
    if (e.IsError()) return e.Push(ZY_HERE);
    e = ZyBatchSort::SortFile(m_sourceFile, sorted, m_sortWorkDir);
    if (e.IsError()) {
        ZYLOG_ERROR("Unable to sort FSMeta Files");
        return e.Push(ZY_HERE, "Unable to sort FSMeta Files");
    }
    ZYLOG(3, "The FSMeta Files are merged and sorted using batch sort");
    e = env->RenameFile(sorted, m_destinationFile);
    return e.IsError() ? e.Push(ZY_HERE) : e;
}

CKoError CATimePreserver::AppendMetaFiles(const std::string& destination, const std::vector<std::string>& files) {
    std::unique_ptr<FXWritableFile> out;
    CKoError e = FXEnv::Current()->NewWritableFile(destination, EWriteMode::Truncate, out);
    if (e.IsError())
        return FXErrorUtil::ErrorErrNo(ZY_HERE, 5, "The output file cannot be opened for merging the files")
            .Push(ZY_HERE, "%s", e.GetMessage().c_str());
    std::vector<char> chunk(1 << 20);
    for (const std::string& file : files) {
        std::unique_ptr<FXSequentialFile> in;
        e = FXEnv::Current()->NewSequentialFile(file, in);
        bool endsWithNewline = true;
        while (e.IsSuccess()) {
            size_t got = 0;
            e = in->Read(chunk.data(), chunk.size(), got);
            if (e.IsError() || got == 0) break;
            endsWithNewline = chunk[got - 1] == '\n';
            e = out->Append(std::string_view(chunk.data(), got));
        }
        // A file cut short by a crash must not glue its last line to the next file's first.
        if (e.IsSuccess() && !endsWithNewline) e = out->Append("\n");
        if (e.IsError()) return e.Push(ZY_HERE, "Open(%s) failed due to error=[%s]", file.c_str(), "bad bit");
    }
    e = out->Close();
    return e.IsError() ? e.Push(ZY_HERE) : e;
}

CKoError CATimePreserver::ApplyVolumeCTimeDB(const std::string& destination) {
    ZYLOG(3, "Applying FSMetaFile=[%s] to VolumeCTimeDB", destination.c_str());
    std::unique_ptr<FXSequentialFile> in;
    CKoError e = FXEnv::Current()->NewSequentialFile(destination, in);
    if (e.IsError())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_FUNCTION_FAILED, "open(%s) failed. error=[%s]",
                                       destination.c_str(), e.GetMessage().c_str());
    std::vector<char> chunk(1 << 20);
    std::string line;
    size_t lineNo = 0;
    auto applyLine = [&]() -> CKoError {
        ++lineNo;
        if (line.empty()) return CKoError::Success();
        const size_t tab = line.find('\t');
        uint64_t fileId = 0, ctime = 0;
        if (tab == std::string::npos || !ParseUnsigned(std::string_view(line).substr(0, tab), fileId) ||
            !ParseUnsigned(std::string_view(line).substr(tab + 1), ctime) || ctime > uint64_t(INT64_MAX))
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA,
                                           "Corrupt FSMeta line %zu of %s: [%.*s]", lineNo, destination.c_str(),
                                           static_cast<int>(std::min<size_t>(line.size(), 128)), line.c_str());
        ZyBackupTimeRecord record, stored;
        CKoError r = m_imports->CreateBackupTimeRecordObject(fileId, static_cast<int64_t>(ctime), record);
        if (r.IsError())
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY,
                                           "Cannot create new BackupTime Record Object");
        bool found = false;
        r = m_db->CheckDBRecord(fileId, found, stored);
        if (r.IsError())
            return r.Push(ZY_HERE, "Cannot check whether the record exists in the Database %s", destination.c_str());
        if (!found) {
            r = m_db->AddDBRecord(record);
            if (r.IsError()) return r.Push(ZY_HERE, "Cannot add the DB Record [%s] to CTimeDB", line.c_str());
        } else if (stored.ctime < record.ctime) {
            r = m_db->UpdateDBRecord(record);
            if (r.IsError())
                return r.Push(ZY_HERE, "Update record from [%lld] to [%lld] Failed",
                              static_cast<long long>(stored.ctime), static_cast<long long>(record.ctime));
            ZYLOG(7, "Update record from [%lld] to [%lld] completed successfully", static_cast<long long>(stored.ctime),
                  static_cast<long long>(record.ctime));
        }
        return CKoError::Success();
    };
    for (;;) {
        size_t got = 0;
        e = in->Read(chunk.data(), chunk.size(), got);
        if (e.IsError()) return e.Push(ZY_HERE);
        if (got == 0) break;
        for (size_t i = 0; i < got; ++i) {
            if (chunk[i] != '\n') {
                line.push_back(chunk[i]);
                if (line.size() > 4096)
                    return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA,
                                                   "Corrupt FSMeta line %zu of %s: too long", lineNo + 1,
                                                   destination.c_str());
                continue;
            }
            e = applyLine();
            line.clear();
            if (e.IsError()) return e;
        }
    }
    e = applyLine();
    if (e.IsError()) return e;
    ZYLOG(3, "Apply FSMetaFile=[%s] to VolumeCTimeDB is successful", destination.c_str());
    return CKoError::Success();
}

CKoError CATimePreserver::CloseVolumeCTimeDB(const std::string& guid) {
    const std::string temporary = GetCTimeDBPaths(guid, 0);
    const std::string current = GetCTimeDBPaths(guid, 1);
    CKoError e = m_db->Close();
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot close the VolumeCTimeDB for %s", guid.c_str());
    e = CreateTree(current);
    if (e.IsSuccess()) e = m_db->Copy(temporary, current);
    if (e.IsError())
        return e.Push(ZY_HERE, "Copying VolumeCTimeDB from [%s] to [%s] failed", temporary.c_str(), current.c_str());
    e = RemoveTree(temporary);
    if (e.IsError()) ZYLOG_ERROR("Cannot Remote Directory Structure %s", temporary.c_str());
    return CKoError::Success();
}

CKoError CATimePreserver::CleanupMetaFiles(const std::vector<std::string>& files) {
    FXEnv* env = FXEnv::Current();
    for (const std::string& file : files) {
        CKoError e = env->RemoveFile(file);
        if (e.IsError() && !FXErrorUtil::IsWin32(e, ZyWin32::ERROR_FILE_NOT_FOUND))
            return e.Push(ZY_HERE, "Cannot delete %s in Cleanup Phase", file.c_str());
    }
    env->RemoveFile(m_sourceFile).IgnoreError();
    env->RemoveFile(m_destinationFile).IgnoreError();
    RemoveTree(m_sortWorkDir).IgnoreError();
    return CKoError::Success();
}

// ---------------------------------------------------------------------------------------------
// During a scan

CKoError CATimePreserver::OpenSourceVolumeCTimeDB(const std::string& volume) {
    CKoError e;
    if (!m_initialized) {
        e = initialize();
        if (e.IsError()) return e.Push(ZY_HERE, "Cannot initialize this class members");
    }
    e = ZyVolumeInfo::GetObjectGuid(volume, m_sourceGuid);
    if (e.IsError()) return e.Push(ZY_HERE);
    ZYLOG(3, "The Given Source Volume [%s] is converted to GUID [%s]", volume.c_str(), m_sourceGuid.c_str());
    e = GetJobResultsDirectory();
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot Obtain the Job Results Directory");
    const std::string current = GetCTimeDBPaths(m_sourceGuid, 1);
    bool isDir = false;
    if (!Exists(current, isDir) || !isDir) {
        ZYLOG(2, "The Database at %s Doesn't exist : So This evaluator will always return true", current.c_str());
        m_sourceDBOpen = false;
        return CKoError::Success();
    }
    e = m_db->Initialize(current);
    if (e.IsError()) {
        m_sourceDBOpen = false;
        return e.Push(ZY_HERE, "Cannot Initialize the Database in Directory %s. The Evaluator will return true always.",
                      current.c_str());
    }
    m_sourceDBOpen = true;
    return CKoError::Success();
}

bool CATimePreserver::IsSelected(const CItem& item) {
    const SItemStat& st = item.Stat();
    return IsSelected(st.ino, int64_t(st.ctime.tv_sec) * 1000000000 + st.ctime.tv_nsec);
}

bool CATimePreserver::IsSelected(uint64_t fileId, int64_t ctimeNs) {
    if (!m_sourceDBOpen) return true;
    bool found = false;
    ZyBackupTimeRecord stored;
    CKoError e = m_db->CheckDBRecord(fileId, found, stored);
    if (e.IsError()) {
        ZYLOG_ERROR("Cannot check whether the record exists in the Database %s due to %s",
                    GetCTimeDBPaths(m_sourceGuid, 1).c_str(), e.AsString().c_str());
        return true;
    }
    if (!found) return true;
    if (stored.ctime == ctimeNs) {
        ZYLOG(3, "FS Item CTime [%lld] == DB Item [%lld]. This Item does not qualifies by DBCTime Check",
              static_cast<long long>(ctimeNs), static_cast<long long>(stored.ctime));
        return false;
    }
    if (stored.ctime < ctimeNs)
        ZYLOG(5, "FS Item CTime [%lld] > DB Item [%lld]. This Item qualifies by DBCTime Check",
              static_cast<long long>(ctimeNs), static_cast<long long>(stored.ctime));
    return true;
}

CKoError CATimePreserver::CloseSourceVolumeCTimeDB(const std::string&) {
    if (!m_sourceDBOpen) return CKoError::Success();
    m_sourceDBOpen = false;
    CKoError e = m_db->Close();
    return e.IsError() ? e.Push(ZY_HERE, "Cannot close the VolumeCTimeDB for %s", m_sourceGuid.c_str()) : e;
}
