#include "scan/dirchange/PathCacheFlatFileIndex.h"

#include <cerrno>

#include "PathCacheFlatFileIndexPrivate.h"
#include "core/LogWriter.h"
#include "core/Path.h"
#include "scan/dirchange/DirChangeFileFormat.h"
#include "scan/dirchange/DirChangeItemData.h"

namespace {

using Flags = BDirChangeItemFlags;
using Private = CPathCacheFlatFileIndexPrivate;
using Lock = FXCriticalSection::Scoped;

constexpr int kDumpLevel = 5;

const std::string& EmptyText() {
    static const std::string empty;
    return empty;
}

// Folder records as the diagnostic dump shows them: flags, then " (P: o1 o2)" and " (C: ...)".
std::string OffsetsText(const CPathCacheScanData& record, bool previous) {
    std::string text;
    for (size_t i = 0; i < record.GetOffsetCount(); ++i) {
        const uint64_t address = record.GetOffsetAddress(i);
        if (CPathCacheScanData::IsPreviousOffsetAddress(address) != previous) continue;
        text += text.empty() ? (previous ? " (P:" : " (C:") : "";
        text += " " + std::to_string(CPathCacheScanData::GetAddressOfOffsetAddress(address));
    }
    if (!text.empty()) text += ")";
    return text;
}

}  // namespace

CPathCacheFlatFileIndex::CPathCacheFlatFileIndex() : m_d(std::make_shared<CPathCacheFlatFileIndexPrivate>()) {}
CPathCacheFlatFileIndex::~CPathCacheFlatFileIndex() = default;

// ---- Configuration ----

void CPathCacheFlatFileIndex::SetCurrentBackingFileParser(std::shared_ptr<CFlatFileIndexParser> parser) {
    Lock lock(m_d->lock);
    m_d->current.parser = std::move(parser);
}
void CPathCacheFlatFileIndex::SetPreviousBackingFileParser(std::shared_ptr<CFlatFileIndexParser> parser) {
    Lock lock(m_d->lock);
    m_d->previous.parser = std::move(parser);
}
void CPathCacheFlatFileIndex::SetItemInfoFormatter(std::shared_ptr<CFlatFileIndexFormatter> formatter) {
    Lock lock(m_d->lock);
    m_d->formatter = std::move(formatter);
}
void CPathCacheFlatFileIndex::SetAncestorItemInfoFactory(std::shared_ptr<CAncestorItemInfoFactory> factory) {
    Lock lock(m_d->lock);
    m_d->ancestorFactory = std::move(factory);
}
void CPathCacheFlatFileIndex::SetIncludeFiles(bool on) { m_d->includeFiles.store(on); }
bool CPathCacheFlatFileIndex::IsIncludeFiles() const { return m_d->includeFiles.load(); }
void CPathCacheFlatFileIndex::SetClosePreviousBackingFileAfterEachUse(bool on) {
    Lock lock(m_d->lock);
    m_d->closePreviousAfterUse = on;
}
void CPathCacheFlatFileIndex::SetAddDecisionPointInformation(bool on) {
    Lock lock(m_d->lock);
    m_d->addDecisionPoint = on;
}
void CPathCacheFlatFileIndex::SetAvoidLoadingEmptyItemInfo(bool on) {
    Lock lock(m_d->lock);
    m_d->avoidEmptyItemInfo = on;
}
void CPathCacheFlatFileIndex::EnableDetailedCollectQuery(bool on) { m_d->detailedCollectQuery.store(on); }
void CPathCacheFlatFileIndex::SetDecodePreviousDirChange(bool on) {
    Lock lock(m_d->lock);
    m_d->decodePrevious = on;
}
void CPathCacheFlatFileIndex::SetEncodeCurrentDirChange(bool on) {
    Lock lock(m_d->lock);
    m_d->encodeCurrent = on;
}
void CPathCacheFlatFileIndex::SetLogDecisions(bool on) {
    Lock lock(m_d->lock);
    m_d->logDecisions = on;
}

void CPathCacheFlatFileIndex::SetDirchangeCacheCapacity(size_t capacity) {
    Lock lock(m_d->lock);
    if (capacity == m_d->cacheCapacity) return;
    ZYLOG(2, "Changing the dirchange cache capacity [%zu] -> [%zu]", m_d->cacheCapacity, capacity);
    m_d->cacheCapacity = capacity;
    m_d->cache->SetCapacity(capacity);
    m_d->lastItems.reset();
}

void CPathCacheFlatFileIndex::SetDirchangeCacheMaxFilesLimit(size_t maxFiles) {
    Lock lock(m_d->lock);
    if (maxFiles == m_d->cacheMaxFiles) return;
    ZYLOG(2, "Changing the dirchange cache max files limit [%zu] -> [%zu]", m_d->cacheMaxFiles, maxFiles);
    m_d->cacheMaxFiles = maxFiles;
    m_d->cache->SetCapacity(m_d->cacheCapacity);
    m_d->lastItems.reset();
}

size_t CPathCacheFlatFileIndex::GetDirchangeCacheCapacity() const {
    Lock lock(m_d->lock);
    return m_d->cacheCapacity;
}

size_t CPathCacheFlatFileIndex::GetDirchangeCacheMaxFilesLimit() const {
    Lock lock(m_d->lock);
    return m_d->cacheMaxFiles;
}

void CPathCacheFlatFileIndex::ClearCache() {
    Lock lock(m_d->lock);
    m_d->ClearCacheLocked();
}

// ---- Backing files ----

CKoError CPathCacheFlatFileIndex::SetPreviousBackingFile(const std::string& path, ContentMapperAPI* mapper) {
    Lock lock(m_d->lock);
    Private::BackingFile& file = m_d->previous;
    file.blockReader.reset();
    file.source.reset();
    file.readOnly.reset();
    // What another previous file said is forgotten: its offsets are not offsets into this one.
    if (file.loaded)
        for (NodeIterator it(std::string(), m_d->trie.GetRoot(), '/', true); !it.IsEnd(); ++it)
            if (CPathCacheScanData* record = it.GetNode()->GetData().get()) {
                record->RemovePreviousOffsets();
                record->GetFlags().Clear(BDirChangeItemFlags::PREVIOUS_JOB_FLAGS_MASK);
            }
    file.loaded = false;
    file.path = path;
    CKoError error = FXEnv::Current()->NewRandomAccessFile(path, file.readOnly);
    if (error.IsSuccess()) error = FXEnv::Current()->Stat(path, file.identity, true);
    if (error.IsError()) {
        file.readOnly.reset();
        error.Push(ZY_HERE, "Open failed, FileName=[%s]", path.c_str());
        return error.Push(ZY_HERE, "LoadFromPreviousBackingFile failed, FileName=[%s]", path.c_str());
    }
    ZYLOG(1, "PreviousBackingFile=[%s]", path.c_str());
    m_d->ClearCacheLocked();
    error = m_d->LoadBackingFileLocked(DIRCHANGE_SOURCE_PREVIOUS, path, mapper);
    m_d->CloseAfterUseLocked();
    if (error.IsError()) return error.Push(ZY_HERE, "LoadFromPreviousBackingFile failed, FileName=[%s]", path.c_str());
    return CKoError::Success();
}

CKoError CPathCacheFlatFileIndex::SetCurrentBackingFile(const std::string& path, ContentMapperAPI* mapper) {
    Lock lock(m_d->lock);
    Private::BackingFile& file = m_d->current;
    CKoError error = m_d->appender.Flush();
    error.IgnoreError();
    m_d->appender.Detach();
    m_d->CloseOpenBlockLocked();
    file.blockReader.reset();
    file.source.reset();
    file.readWrite.reset();
    // Offsets into a file read before are not offsets into this one.
    if (file.loaded)
        for (NodeIterator it(std::string(), m_d->trie.GetRoot(), '/', true); !it.IsEnd(); ++it)
            if (CPathCacheScanData* record = it.GetNode()->GetData().get()) record->RemoveCurrentOffsets();
    file.loaded = false;
    file.path = path;
    m_d->currentMapper = mapper;
    error = FXEnv::Current()->NewRandomRWFile(path, true, file.readWrite);
    if (error.IsError()) {
        error.Push(ZY_HERE, "Open failed, FileName=[%s]", path.c_str());
        return error.Push(ZY_HERE, "LoadFromCurrentBackingFile failed, FileName=[%s]", path.c_str());
    }
    ZYLOG(1, "CurrentBackingFile=[%s]", path.c_str());
    m_d->ClearCacheLocked();
    error = m_d->LoadBackingFileLocked(DIRCHANGE_SOURCE_CURRENT, path, mapper);
    if (error.IsError()) return error.Push(ZY_HERE, "LoadFromCurrentBackingFile failed, FileName=[%s]", path.c_str());
    return CKoError::Success();
}

std::string CPathCacheFlatFileIndex::GetPreviousBackingFilePath() const {
    Lock lock(m_d->lock);
    return m_d->previous.path;
}
std::string CPathCacheFlatFileIndex::GetCurrentBackingFilePath() const {
    Lock lock(m_d->lock);
    return m_d->current.path;
}
bool CPathCacheFlatFileIndex::IsPreviousBackingFileLoaded() const {
    Lock lock(m_d->lock);
    return m_d->previous.loaded;
}
bool CPathCacheFlatFileIndex::IsCurrentBackingFileLoaded() const {
    Lock lock(m_d->lock);
    return m_d->current.loaded;
}
bool CPathCacheFlatFileIndex::IsPreviousDirChangeLoaded() const { return IsPreviousBackingFileLoaded(); }

SDirChangeLoadReport CPathCacheFlatFileIndex::GetLoadReport(DirChangeSourceEnum source) const {
    Lock lock(m_d->lock);
    return source == DIRCHANGE_SOURCE_PREVIOUS ? m_d->previous.report : m_d->current.report;
}

CKoError CPathCacheFlatFileIndex::SyncCurrentBackingFile() {
    Lock lock(m_d->lock);
    if (!m_d->current.readWrite)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "The current backing file is not set");
    CKoError error = m_d->appender.Flush();
    if (error.IsSuccess()) error = m_d->current.readWrite->Sync();
    if (error.IsError()) return error.Push(ZY_HERE, "CurrentBackingFile=[%s]", m_d->current.path.c_str());
    return CKoError::Success();
}

CKoError CPathCacheFlatFileIndex::LoadFile(const std::string& fileName, ContentMapperAPI* mapper) {
    return SetPreviousBackingFile(fileName, mapper);
}

// ---- Questions ----

bool CPathCacheFlatFileIndex::IsItemInPreviousJob(const std::string& path, PREVIOUS_JOB_FLAGS which) {
    Flags flags;
    return IsItemInPreviousJob(path, flags, which);
}

bool CPathCacheFlatFileIndex::IsItemInPreviousJob(const std::string& path, PREVIOUS_JOB_FLAGS which,
                                                  CPathCacheScanDataPtr& data) {
    Flags flags;
    const bool answer = IsItemInPreviousJob(path, flags, which);
    std::string_view folder = path, name;
    if ((which & Flags::PD_FILE) && !Private::SplitFile(path, folder, name)) folder = path;
    Lock lock(m_d->lock);
    const CacheNodePtr* node = m_d->FindNodeLocked(folder);
    data = node ? (*node)->GetData() : CPathCacheScanDataPtr();
    return answer;
}

bool CPathCacheFlatFileIndex::IsItemInPreviousJob(const std::string& path, BDirChangeItemFlags& flags,
                                                  PREVIOUS_JOB_FLAGS which) {
    std::string_view folder, name;
    if (!IsIncludeFiles() && (which & Flags::PD_FILE)) {
        // Files are not tracked: a file was in the previous job when its folder was.
        if (!Private::SplitFile(path, folder, name)) return true;
        thread_local std::string parent;
        parent.assign(folder);
        return IsItemInPreviousJob(parent, flags, Flags::PREVIOUSDIRCHANGE);
    }
    Lock lock(m_d->lock);
    if (!(which & Flags::PD_FILE)) {
        const CPathCacheScanData* record = m_d->FindRecordLocked(path);
        if (!record) return false;
        flags = record->GetFlags();
        return flags.IsSet(Flags::PREVIOUSDIRCHANGE);
    }
    if (!Private::SplitFile(path, folder, name)) return false;
    const CPathCacheScanData* record = m_d->FindRecordLocked(folder);
    if (!record) return false;
    flags = record->GetFlags();
    if (!flags.IsAnySet(Flags::PREVIOUS_JOB_FLAGS_MASK)) return false;
    FlatFileItemMapPtr items;
    CKoError error = m_d->GetItemsLocked(folder, DIRCHANGE_SOURCE_PREVIOUS, items);
    if (error.IsError()) {
        ZYLOG_ERROR("GetPreviousItems failed, error=%s", error.AsString().c_str());
        return false;
    }
    thread_local std::string key;
    key.assign(name);
    return items->count(key) != 0;
}

bool CPathCacheFlatFileIndex::IsItemInCurrentDirChange(const std::string& path, CURRENT_JOB_FLAGS which) {
    Flags flags;
    return IsItemInCurrentDirChange(path, flags, which);
}

bool CPathCacheFlatFileIndex::IsItemInCurrentDirChange(const std::string& path, BDirChangeItemFlags& flags,
                                                       CURRENT_JOB_FLAGS which) {
    const bool file = (which & Flags::CD_FILE) != 0;
    if (file && !IsIncludeFiles() && !m_d->detailedCollectQuery.load()) return false;
    Lock lock(m_d->lock);
    std::string_view folder = path, name;
    if (file && !Private::SplitFile(path, folder, name)) return false;
    const CPathCacheScanData* record = m_d->FindRecordLocked(folder);
    if (!record) return false;
    flags = record->GetFlags();
    if (!file) return flags.IsSet(Flags::CURRENTDIRCHANGE);
    if (!flags.IsAnySet(Flags::CURRENT_JOB_FLAGS_MASK)) return false;
    FlatFileItemMapPtr items;
    CKoError error = m_d->GetItemsLocked(folder, DIRCHANGE_SOURCE_CURRENT, items);
    if (error.IsError()) {
        ZYLOG_ERROR("GetCurrentItems failed, error=%s", error.AsString().c_str());
        return false;
    }
    thread_local std::string key;
    key.assign(name);
    return items->count(key) != 0;
}

bool CPathCacheFlatFileIndex::IsItemInCurrentCollect(const std::string& path, CURRENT_COLLECT_FLAGS which) {
    Flags flags;
    return IsItemInCurrentCollect(path, flags, which);
}

bool CPathCacheFlatFileIndex::IsItemInCurrentCollect(const std::string& path, BDirChangeItemFlags& flags,
                                                     CURRENT_COLLECT_FLAGS which) {
    const bool file = (which & Flags::CC_FILE) != 0;
    const bool detailed = m_d->detailedCollectQuery.load();
    if (file && !IsIncludeFiles() && !detailed) return false;
    Lock lock(m_d->lock);
    std::string_view folder = path, name;
    if (file && !Private::SplitFile(path, folder, name)) return false;
    const CPathCacheScanData* record = m_d->FindRecordLocked(folder);
    if (record) flags = record->GetFlags();
    thread_local std::string key;
    key.assign(name);
    if (file && detailed) {
        // The current items say whether each file went to the collect ("|<IS>1").
        FlatFileItemMapPtr items;
        CKoError error = m_d->GetItemsLocked(folder, DIRCHANGE_SOURCE_CURRENT, items);
        if (error.IsError()) {
            ZYLOG(2, "GetCurrentItems failed, SearchPath=[%.*s], Name=[%s], error=%s", static_cast<int>(folder.size()),
                  folder.data(), key.c_str(), error.AsString().c_str());
            return false;
        }
        auto found = items->find(key);
        if (found == items->end()) return false;
        const auto* data = dynamic_cast<const CDirChangeItemData*>(found->second.get());
        return data && data->GetIsAddedToCollect();
    }
    if (!record) return false;
    if (!file) return flags.IsSet(Flags::CURRENTCOLLECT);
    if (!flags.IsAnySet(Flags::CURRENT_COLLECT_FLAGS_MASK)) return false;
    FlatFileItemMapPtr items;
    CKoError error = m_d->GetItemsLocked(folder, DIRCHANGE_SOURCE_CURRENT, items);
    if (error.IsError()) {
        ZYLOG_ERROR("GetCurrentItems failed, error=%s", error.AsString().c_str());
        return false;
    }
    return items->count(key) != 0;
}

bool CPathCacheFlatFileIndex::IsItemEligibleForCurrentCollect(const std::string& path, CURRENT_JOB_FLAGS which) {
    Flags flags;
    return IsItemEligibleForCurrentCollect(path, flags, which);
}

bool CPathCacheFlatFileIndex::IsItemEligibleForCurrentCollect(const std::string& path, BDirChangeItemFlags& flags,
                                                              CURRENT_JOB_FLAGS which) {
    const bool includeFiles = IsIncludeFiles();
    if (!includeFiles && (which & Flags::CD_FILE)) return true;
    Lock lock(m_d->lock);
    const CPathCacheScanData* record = m_d->FindRecordLocked(path);
    if (!record) return false;
    flags = record->GetFlags();
    if (!flags.IsAnySet(Flags::CURRENT_JOB_FLAGS_MASK)) return false;
    if (!includeFiles) return true;
    return (which & Flags::CD_FILE) && flags.IsSet(Flags::CD_FILE);
}

bool CPathCacheFlatFileIndex::GetCurrentDirChangeInfo(const std::string& path, CURRENT_JOB_FLAGS which, FVBasePtr& info) {
    info.reset();
    Lock lock(m_d->lock);
    if (!(which & Flags::CD_FILE)) {
        const CPathCacheScanData* record = m_d->FindRecordLocked(path);
        if (!record || !record->GetFlags().IsAnySet(Flags::CURRENT_JOB_FLAGS_MASK)) return false;
        info = record->GetCurrentInfo();
        return true;
    }
    std::string_view folder, name;
    if (!Private::SplitFile(path, folder, name)) return false;
    FlatFileItemMapPtr items;
    if (m_d->GetItemsLocked(folder, DIRCHANGE_SOURCE_CURRENT, items).IsError()) return false;
    auto found = items->find(std::string(name));
    if (found == items->end()) return false;
    info = found->second;
    return true;
}

bool CPathCacheFlatFileIndex::IsWritten(const std::string& path, ACTIVITY_FLAGS bit) {
    Lock lock(m_d->lock);
    const CPathCacheScanData* record = m_d->FindRecordLocked(path);
    return record && record->GetFlags().IsSet(bit);
}

CKoError CPathCacheFlatFileIndex::SetWritten(const std::string& path, ACTIVITY_FLAGS bit) {
    CKoError error = AddCurrentItem(path, Flags(bit), EmptyText(), FVBasePtr());
    if (error.IsError()) return error.Push(ZY_HERE);
    return CKoError::Success();
}

// ---- Recording ----

CKoError CPathCacheFlatFileIndex::AddItem(const std::string& path, BDirChangeItemFlags flags, const std::string& text,
                                          const FVBasePtr& info) {
    return AddCurrentItem(path, flags, text, info);
}

CKoError CPathCacheFlatFileIndex::AddCurrentItem(const std::string& path, BDirChangeItemFlags flags,
                                                 const std::string& /*text*/, const FVBasePtr& /*info*/) {
    constexpr uint32_t kFileBits = static_cast<uint32_t>(Flags::CC_FILE) | static_cast<uint32_t>(Flags::CD_FILE) |
                                   static_cast<uint32_t>(Flags::PD_FILE);
    if (!IsIncludeFiles() && flags.IsAnySet(kFileBits)) return CKoError::Success();
    Lock lock(m_d->lock);
    CPathCacheScanData* record = nullptr;
    CKoError error = m_d->SearchOrInsertRecordLocked(path, record);
    if (error.IsError()) {
        if (FXErrorUtil::IsWin32(error, ZyWin32::ERROR_OUTOFMEMORY)) return error.Push(ZY_HERE);
        ZYLOG_ERROR("Cannot insert/update item '%s' to container, error=%s", path.c_str(), error.AsString().c_str());
        return CKoError::Success();
    }
    record->SetFlags(Flags::MergeCurrentJob(record->GetFlags(), flags));
    return CKoError::Success();
}

CKoError CPathCacheFlatFileIndex::IdentifyIntermediateNodes() { return CKoError::Success(); }

CKoError CPathCacheFlatFileIndex::WriteCurrentCollectFile(const std::string& /*fileName*/, int64_t& /*fileCount*/) {
    return CKoError::Success();
}

CKoError CPathCacheFlatFileIndex::WriteDeletedItems(FILE* /*file*/, bool /*listEveryItem*/) { return CKoError::Success(); }

CKoError CPathCacheFlatFileIndex::AddCurrentFolder(const std::string& folder, const FXCodeLocation& location,
                                                   const std::string& reason, const FVBasePtr& folderInfo,
                                                   const FlatFileIndexFileItemMap& files,
                                                   CAncestorItemInfoFactory* factory) {
    Lock lock(m_d->lock);
    CKoError error = m_d->AddCurrentFolderLocked(folder, location, reason, folderInfo, files, factory);
    if (error.IsError()) return error.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CPathCacheFlatFileIndex::AddCurrentFolder(const std::string& folder, const FXCodeLocation& location,
                                                   const std::string& reason, const FlatFileIndexFileItemMap& files) {
    return AddCurrentFolder(folder, location, reason, FVBasePtr(), files);
}

CKoError CPathCacheFlatFileIndex::DeleteCurrentFolder(const std::string& folderIn, const FXCodeLocation& /*location*/,
                                                      const std::string& /*reason*/) {
    Lock lock(m_d->lock);
    const std::string folder = Private::NormalizeFolder(folderIn);
    const CacheNodePtr* found = m_d->FindNodeLocked(folder);
    if (!found) return CKoError::Success();
    const CacheNodePtr node = *found;
    m_d->CloseOpenBlockLocked();
    m_d->MarkDeletedLocked(node, DIRCHANGE_SOURCE_CURRENT);
    // The deleted field goes on the line whatever formatter the index has: without it, reading
    // the file back would bring the folder back.
    std::string line;
    CDirChangeFileFormat::AppendFlatFolderLine(
        line, folder, m_d->encodeCurrent,
        CDirChangeItemBaseFormatter().GetFormattedData(std::make_shared<CDirChangeItemBaseInfoImpl>(true)));
    CKoError error = m_d->AppendCurrentLocked(line, folder);
    if (error.IsSuccess()) error = m_d->appender.Flush();
    // Nothing may be appended to the deleted line's "block".
    m_d->lastFolderWritten.clear();
    if (error.IsError()) return error.Push(ZY_HERE, "Folder=[%s]", folder.c_str());
    return CKoError::Success();
}

CKoError CPathCacheFlatFileIndex::CopyBlockFromPrevDCToCurDC(const std::string& folderIn) {
    Lock lock(m_d->lock);
    const std::string folder = Private::NormalizeFolder(folderIn);
    CacheNodePtr start;
    if (m_d->trie.SearchIgnoreContent(folder == "/" ? std::string() : folder, start) != EPathCacheResult::FOUND_EXACT) {
        ZYLOG(2, "Not found, Folder=[%s]", folder.c_str());
        return CKoError::Success();
    }
    // Folders below one without a record of its own still belong to the previous job.
    if (!start->GetData()) ZYLOG(2, "No content, Folder=[%s]", folder.c_str());
    std::vector<std::string> folders;
    for (NodeIterator it(folder == "/" ? std::string() : folder, start, '/', true); !it.IsEnd(); ++it) {
        const CPathCacheScanData* record = it.GetNode()->GetData().get();
        if (record && record->GetFlags().IsSet(Flags::PREVIOUSDIRCHANGE))
            folders.push_back(it.GetName().empty() ? std::string("/") : it.GetName());
    }
    FlatFileIndexFileItemMap files;
    CKoError first;
    for (const std::string& path : folders) {
        FlatFileItemMap items;
        CKoError error = m_d->ReadItemsLocked(path, DIRCHANGE_SOURCE_PREVIOUS, items);
        if (error.IsError()) {
            // The folder is still carried (its files unknown), so it is not taken for deleted.
            ZYLOG_ERROR("GetPreviousItems failed, Folder=[%s], error=%s", path.c_str(), error.AsString().c_str());
            if (first.IsSuccess()) first = error.Push(ZY_HERE, "GetPreviousItems failed, Folder=[%s]", path.c_str());
            items.clear();
        }
        files.clear();
        for (auto& [name, item] : items) files.emplace(name, CFlatFileIndexFileItem(ZY_HERE, "PrevDC", item));
        const CPathCacheScanData* record = m_d->FindRecordLocked(path);
        error = m_d->AddCurrentFolderLocked(path, ZY_HERE, "PrevDC", record ? record->GetPreviousInfo() : FVBasePtr(),
                                            files, nullptr);
        if (error.IsError()) return error.Push(ZY_HERE, "Folder=[%s]", path.c_str());
    }
    return first;
}

CKoError CPathCacheFlatFileIndex::RawWriteLineCurrent(const std::string& line) {
    Lock lock(m_d->lock);
    CKoError error = m_d->appender.Append(line + "\n");
    if (error.IsError())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_GENERAL_FAILURE,
                                       "Failed to write to backing file (badbit), CurrentBackingFile=[%s], Line=[%s], error=%d",
                                       m_d->current.path.c_str(), line.c_str(),
                                       FXErrorUtil::IsFamily(error, EErrorFamily::ErrNo) ? static_cast<int>(error.GetErrorCode()) : EIO);
    // A raw line may extend the open block: its offset must stay.
    m_d->openHasFiles = true;
    m_d->ClearCacheLocked();
    return CKoError::Success();
}

CKoError CPathCacheFlatFileIndex::WriteCurrentDirChangeFile(const std::string& fileName) {
    Lock lock(m_d->lock);
    CKoError error = m_d->WriteCurrentCopyLocked(fileName);
    if (error.IsError()) return error.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CPathCacheFlatFileIndex::UpdateCurrentDirChangeFile() {
    Lock lock(m_d->lock);
    Private::BackingFile& file = m_d->current;
    if (!file.readWrite)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "The current backing file is not set");
    std::string temp = file.path;
    if (temp.size() >= 4)
        temp.replace(temp.size() - 4, 4, "Temp.zyf");
    else
        temp += "Temp.zyf";
    CKoError error = m_d->WriteCurrentCopyLocked(temp);
    if (error.IsSuccess()) {
        error = FXEnv::Current()->RenameFile(temp, file.path);
        if (error.IsError()) error.Push(ZY_HERE, "Failed to rename file [%s] to [%s]", temp.c_str(), file.path.c_str());
    }
    if (error.IsError()) {
        FXEnv::Current()->RemoveFile(temp).IgnoreError();
        return error.Push(ZY_HERE);
    }
    FXSyncParentDir(file.path).IgnoreError();
    // The records' current offsets point into the old file: read them from the new one.
    m_d->appender.Detach();
    m_d->openRecord = nullptr;
    file.blockReader.reset();
    file.source.reset();
    file.readWrite.reset();
    for (NodeIterator it(std::string(), m_d->trie.GetRoot(), '/', true); !it.IsEnd(); ++it)
        if (CPathCacheScanData* record = it.GetNode()->GetData().get()) record->RemoveCurrentOffsets();
    m_d->ClearCacheLocked();
    error = FXEnv::Current()->NewRandomRWFile(file.path, false, file.readWrite);
    if (error.IsSuccess()) error = m_d->LoadBackingFileLocked(DIRCHANGE_SOURCE_CURRENT, file.path, m_d->currentMapper);
    if (error.IsError()) return error.Push(ZY_HERE, "LoadFromCurrentBackingFile failed, FileName=[%s]", file.path.c_str());
    return CKoError::Success();
}

CKoError CPathCacheFlatFileIndex::AddSurface(const std::string& pathIn) {
    std::string path = Private::NormalizeFolder(pathIn);
    for (;;) {
        const size_t slash = path.rfind('/');
        if (slash == std::string::npos) break;
        path.resize(slash);
        if (path.empty()) {
            {
                // Only the root takes mark 2, and no other path reaches it.
                Lock lock(m_d->lock);
                CKoError error = m_d->surface.Insert(path, 2);
                if (error.IsError()) return error.Push(ZY_HERE);
            }
            CKoError error = SetWritten(path, Flags::DIRCHANGE_WRITTEN);
            if (error.IsError()) return error.Push(ZY_HERE);
            break;
        }
        Lock lock(m_d->lock);
        CKoError error = m_d->surface.Insert(path, 1);
        if (error.IsError()) return error.Push(ZY_HERE, "Path=[%s]", path.c_str());
    }
    return CKoError::Success();
}

// ---- Reading ----

CKoError CPathCacheFlatFileIndex::GetPreviousItems(const std::string& folder, FlatFileItemMapPtr& items) {
    Lock lock(m_d->lock);
    CKoError error = m_d->GetItemsLocked(folder, DIRCHANGE_SOURCE_PREVIOUS, items);
    if (error.IsError()) return error.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CPathCacheFlatFileIndex::GetCurrentItems(const std::string& folder, FlatFileItemMapPtr& items) {
    Lock lock(m_d->lock);
    CKoError error = m_d->GetItemsLocked(folder, DIRCHANGE_SOURCE_CURRENT, items);
    if (error.IsError()) return error.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CPathCacheFlatFileIndex::GetItems(const std::string& folder, FlatFileItemMapPtr& previousItems,
                                           FlatFileItemMapPtr& currentItems) {
    Lock lock(m_d->lock);
    CKoError error = m_d->GetItemsLocked(folder, DIRCHANGE_SOURCE_PREVIOUS, previousItems);
    if (error.IsSuccess()) error = m_d->GetItemsLocked(folder, DIRCHANGE_SOURCE_CURRENT, currentItems);
    if (error.IsError()) return error.Push(ZY_HERE, "Folder=[%s]", folder.c_str());
    return CKoError::Success();
}

CKoError CPathCacheFlatFileIndex::GetFolderData(const std::string& path, EPathCacheResult& result,
                                                CPathCacheScanDataPtr& data) {
    Lock lock(m_d->lock);
    CacheNodePtr node;
    result = m_d->trie.Search(path, node);
    data = node ? node->GetData() : CPathCacheScanDataPtr();
    return CKoError::Success();
}

CPathCacheFlatFileIndex::NodeIterator CPathCacheFlatFileIndex::GetIterator() const {
    return NodeIterator(std::string(), m_d->trie.GetRoot(), m_d->trie.GetDelimiter(), m_d->trie.IsExposeRoot());
}

void CPathCacheFlatFileIndex::DumpDiagnosticData() {
    if (!ZyLogEnabled(kDumpLevel)) return;
    Lock lock(m_d->lock);
    m_d->trie.DumpToLog(kDumpLevel, "FlatFileIndex",
                        [](const std::string& prefix, const std::string& indentation, const std::string& name,
                           const CacheNode& node) {
                            const CPathCacheScanData* record = node.GetData().get();
                            if (!node.IsContentPresent() || !record) return prefix + ": " + indentation + " " + name;
                            return FXString::Format("%s: %s %s    %s%s%s", prefix.c_str(), indentation.c_str(),
                                                    name.c_str(), record->AsString().c_str(),
                                                    OffsetsText(*record, true).c_str(),
                                                    OffsetsText(*record, false).c_str());
                        });
}

int64_t CPathCacheFlatFileIndex::GetMemoryUsed() { return 0; }
