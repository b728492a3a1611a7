#include "PathCacheFlatFileIndexPrivate.h"

#include <cerrno>
#include <cstring>

#include "core/LogWriter.h"
#include "core/Path.h"
#include "core/PlatformInfo.h"
#include "scan/content/ContentMapper.h"
#include "scan/dirchange/DirChangeFileFormat.h"
#include "scan/dirchange/DirChangeItemData.h"
#include "scan/dirchange/TreeDirChangeFileReader.h"

namespace {

using Flags = BDirChangeItemFlags;

// Block reads are short and close together: a small line buffer over the source's window.
constexpr size_t kBlockReadBuffer = 1024;
constexpr size_t kLoadReadBuffer = 64 * 1024;
// Blocks are read mostly in file order: a window of the file around them saves the system calls.
constexpr size_t kBlockWindow = 64 * 1024;

std::string_view WithoutTrailingDelimiters(std::string_view path) {
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    return path;
}

bool IsDeletedItem(const FVBasePtr& item) {
    const auto* info = dynamic_cast<const CDirChangeItemBaseInfo*>(item.get());
    return info && info->GetIsDeleted();
}

int ErrnoOf(const CKoError& error) {
    return FXErrorUtil::IsFamily(error, EErrorFamily::ErrNo) ? static_cast<int>(error.GetErrorCode()) : EIO;
}

std::string DecisionTime() {
    const int64_t micros = FXEnv::Current()->NowMicros();
    return CTimeStamp::FromUnixTime(micros / 1000000, micros % 1000000).AsString();
}

}  // namespace

CPathCacheFlatFileIndexPrivate::CPathCacheFlatFileIndexPrivate() {
    long long value = 0;
    if (ZYPlatformInfo::getNumber("FileSystemAgent", "nDirChangeCacheCapacity", value).IsSuccess() && value > 0) {
        ZYLOG(1, "Changing the dirchange cache capacity : [%zu] -> [%lu]", cacheCapacity, static_cast<unsigned long>(value));
        cacheCapacity = static_cast<size_t>(value);
    }
    if (ZYPlatformInfo::getNumber("FileSystemAgent", "nDirChangeCacheMaxFiles", value).IsSuccess() && value > 0) {
        ZYLOG(1, "Changing the dirchange cache max files limit : [%zu] -> [%lu]", cacheMaxFiles,
              static_cast<unsigned long>(value));
        cacheMaxFiles = static_cast<size_t>(value);
    }
    cache = std::make_unique<DirChangeCache>(
        [this](const _DirChangeCacheKey& key, FlatFileItemMapPtr& items) -> CKoError {
            try {
                items = std::make_shared<FlatFileItemMap>();
            } catch (const std::bad_alloc&) {
                return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "Folder=[%s]", key.path.c_str());
            }
            if (key.source != DIRCHANGE_SOURCE_CURRENT && key.source != DIRCHANGE_SOURCE_PREVIOUS)
                return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "Unknown, DirChangeSourceEnum=[%d]",
                                               static_cast<int>(key.source));
            if (key.source == DIRCHANGE_SOURCE_CURRENT) ++currentLoads;
            CKoError error = ReadItemsLocked(key.path, key.source, *items);
            if (error.IsError()) return error.Push(ZY_HERE);
            return CKoError::Success();
        },
        [this](const FlatFileItemMapPtr& items) { cacheFiles += items ? items->size() : 0; },
        [this](const FlatFileItemMapPtr& items) { cacheFiles -= std::min(cacheFiles, items ? items->size() : 0); },
        [this](size_t count) { return count >= 3 && cacheFiles > cacheMaxFiles; }, cacheCapacity);
    appender.SetWriteTimer(&writeTimer);
}

std::string CPathCacheFlatFileIndexPrivate::NormalizeFolder(std::string_view folder) {
    const std::string_view trimmed = WithoutTrailingDelimiters(folder);
    return trimmed.empty() ? std::string("/") : std::string(trimmed);
}

bool CPathCacheFlatFileIndexPrivate::SplitFile(std::string_view path, std::string_view& folder, std::string_view& name) {
    const std::string_view p = WithoutTrailingDelimiters(path);
    if (p.empty()) return false;
    const size_t slash = p.rfind('/');
    if (slash == std::string_view::npos) return false;
    name = p.substr(slash + 1);
    if (name.empty()) return false;
    size_t end = slash;
    while (end > 0 && p[end - 1] == '/') --end;
    folder = end == 0 ? std::string_view("/") : p.substr(0, end);
    return true;
}

CPathCacheScanDataPtr CPathCacheFlatFileIndexPrivate::NewRecord() {
    if (!m_chunk || m_chunkUsed == kRecordsPerChunk) {
        m_chunk = std::make_shared<std::vector<CPathCacheScanData>>(kRecordsPerChunk);
        m_chunkUsed = 0;
    }
    // Shares the chunk's ownership: a record lives as long as anything holds it.
    return CPathCacheScanDataPtr(m_chunk, &(*m_chunk)[m_chunkUsed++]);
}

const CPathCacheFlatFileIndexPrivate::CacheNodePtr* CPathCacheFlatFileIndexPrivate::FindNodeLocked(std::string_view path) {
    const std::string_view key = WithoutTrailingDelimiters(path);
    if (m_lastFindNode && key == m_lastFindPath) return &m_lastFindNode;
    CacheNodePtr node;
    if (trie.Search(key, node) != EPathCacheResult::FOUND_EXACT || !node->GetData()) return nullptr;
    // A node keeps its record for good, so the entry never goes stale.
    m_lastFindPath.assign(key);
    m_lastFindNode = std::move(node);
    return &m_lastFindNode;
}

CPathCacheScanData* CPathCacheFlatFileIndexPrivate::FindRecordLocked(std::string_view path) {
    const CacheNodePtr* node = FindNodeLocked(path);
    return node ? (*node)->GetData().get() : nullptr;
}

CKoError CPathCacheFlatFileIndexPrivate::SearchOrInsertRecordLocked(std::string_view path, CPathCacheScanData*& record) {
    record = FindRecordLocked(path);
    if (record) return CKoError::Success();
    try {
        CacheNodePtr node;
        EPathCacheResult result;
        CKoError error = trie.SearchOrInsert(WithoutTrailingDelimiters(path), node, result);
        if (error.IsError()) return error.Push(ZY_HERE);
        if (!node->GetData()) node->GetData() = NewRecord();
        record = node->GetData().get();
    } catch (const std::bad_alloc&) {
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "Failed to allocate a folder record");
    }
    return CKoError::Success();
}

void CPathCacheFlatFileIndexPrivate::MarkDeletedLocked(const CacheNodePtr& start, DirChangeSourceEnum source) {
    const bool previousSide = source == DIRCHANGE_SOURCE_PREVIOUS;
    for (CPathCacheFlatFileIndex::NodeIterator it(std::string(), start, trie.GetDelimiter(), true); !it.IsEnd(); ++it) {
        CPathCacheScanData* record = it.GetNode()->GetData().get();
        if (!record) continue;
        if (previousSide) {
            record->GetFlags().Clear(Flags::PREVIOUS_JOB_FLAGS_MASK);
            record->RemovePreviousOffsets();
        } else {
            record->GetFlags().Clear(Flags::CURRENT_JOB_FLAGS_MASK | static_cast<uint32_t>(Flags::DIRCHANGE_WRITTEN));
            record->RemoveCurrentOffsets();
        }
    }
    if (!start->GetData()) start->GetData() = NewRecord();
    auto deleted = std::make_shared<CDirChangeItemBaseInfoImpl>(true);
    if (previousSide)
        start->GetData()->SetPreviousInfo(deleted);
    else
        start->GetData()->SetCurrentInfo(deleted);
    ClearCacheLocked();
}

CKoError CPathCacheFlatFileIndexPrivate::LoadBackingFileLocked(DirChangeSourceEnum source, const std::string& path,
                                                             ContentMapperAPI* mapper) {
    const bool previousSide = source == DIRCHANGE_SOURCE_PREVIOUS;
    BackingFile& file = previousSide ? previous : current;
    file.report = SDirChangeLoadReport();
    file.loaded = false;
    // A sequential pass: large reads straight from the file.
    CPositionalLineSource input = file.readOnly ? CPositionalLineSource(file.readOnly.get(), 0)
                                                : CPositionalLineSource(file.readWrite.get(), 0);
    CFlatDirChangeLineReader reader(input, 0, kLoadReadBuffer);
    const bool decode = previousSide ? decodePrevious : encodeCurrent;
    const Flags sideFlags = previousSide ? Flags(Flags::PREVIOUSDIRCHANGE)
                                         : Flags(Flags::CURRENTDIRCHANGE) | Flags(Flags::DIRCHANGE_WRITTEN);
    CPathCacheScanData* open = nullptr;  // the record whose block is being read
    uint64_t openBlock = 0;
    bool blockHasFiles = false;
    bool folderUsable = false;
    uint64_t good = 0;  // the end of the last whole line
    std::string folder, mapped;
    auto closeBlock = [&]() {
        // An empty block costs an offset and holds nothing.
        if (open && !blockHasFiles) open->RemoveLastOffsetAddress(openBlock);
        open = nullptr;
    };
    for (;;) {
        bool got = false;
        CKoError error = reader.ReadLine(got);
        if (error.IsError()) return error.Push(ZY_HERE, "Offset=[%llu]", static_cast<unsigned long long>(good));
        if (!got) break;
        if (!reader.EndedByNewline()) {
            file.report.Skip(reader.LineStart(), "torn last line");
            break;
        }
        if (reader.Kind() == CFlatDirChangeLineReader::LINE_EMPTY) {
            // Reading ends here; a current file goes on from here too, or what it appends would
            // never be read back.
            break;
        }
        good = reader.EndOffset();
        if (reader.Line().size() > kMaxLineBytes) {
            file.report.Skip(reader.LineStart(), "line longer than 64 KiB");
            if (reader.Kind() == CFlatDirChangeLineReader::LINE_FOLDER) {
                closeBlock();
                folderUsable = false;
            }
            continue;
        }
        if (reader.Kind() == CFlatDirChangeLineReader::LINE_FILE) {
            if (!folderUsable) {
                file.report.Skip(reader.LineStart(), "file line without a usable folder line");
                continue;
            }
            const std::string_view raw = reader.NameWithoutTab();
            if (raw.empty() || raw.find('/') != std::string_view::npos || raw.find('\0') != std::string_view::npos) {
                file.report.Skip(reader.LineStart(), "unusable file name");
                continue;
            }
            blockHasFiles = true;
            ++file.report.files;
            continue;
        }
        closeBlock();
        folderUsable = false;
        CDirChangeFileFormat::DecodeFlatFolder(reader.Name(), decode, folder);
        if (mapper) {
            mapper->MakeProxyPathFromHostPath(folder, mapped);
            folder.swap(mapped);
        }
        if (!CTreeDirChangeFileReader::IsUsableFolder(folder)) {
            file.report.Skip(reader.LineStart(), "folder line is not an absolute path");
            continue;
        }
        FVBasePtr item;
        if (file.parser && (!avoidEmptyItemInfo || reader.FieldCount() > 1)) {
            reader.AssignFields(m_fields);
            error = file.parser->GetItemInfo(item, m_fields);
            if (error.IsError()) return error.Push(ZY_HERE, "Folder=[%s]", folder.c_str());
        }
        if (IsDeletedItem(item)) {
            CacheNodePtr node;
            if (trie.SearchIgnoreContent(WithoutTrailingDelimiters(folder), node) == EPathCacheResult::FOUND_EXACT)
                MarkDeletedLocked(node, source);
            continue;
        }
        CPathCacheScanData* record = nullptr;
        error = SearchOrInsertRecordLocked(folder, record);
        if (error.IsError()) return error.Push(ZY_HERE, "Folder=[%s]", folder.c_str());
        const uint64_t offset = reader.EndOffset();
        try {
            if (previousSide)
                record->AddPreviousOffsetAddress(offset);
            else
                record->AddCurrentOffsetAddress(offset);
            record->SetFlags(Flags::MergeCurrentJob(record->GetFlags(), sideFlags));
            if (item) {
                if (previousSide)
                    record->SetPreviousInfo(item);
                else
                    record->SetCurrentInfo(item);
            }
        } catch (const std::bad_alloc&) {
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "Folder=[%s]", folder.c_str());
        }
        open = record;
        openBlock = previousSide ? (offset | CPathCacheScanData::kPreviousBit) : offset;
        blockHasFiles = false;
        folderUsable = true;
        ++file.report.folders;
        if (!previousSide) lastFolderWritten = NormalizeFolder(folder) == "/" ? "/" : NormalizeFolder(folder) + "/";
    }
    closeBlock();
    if (!previousSide) {
        // A restarted job goes on after the last whole line; whatever a crash tore off goes.
        uint64_t size = 0;
        CKoError error = file.readWrite->Size(size);
        if (error.IsError()) return error.Push(ZY_HERE);
        if (size > good) {
            error = file.readWrite->Truncate(good);
            if (error.IsError()) return error.Push(ZY_HERE);
        }
        appender.Attach(file.readWrite.get(), good);
        if (!folderUsable) lastFolderWritten.clear();
    } else {
        file.identity.size = good;
    }
    if (file.report.HasSkipped())
        ZYLOG(1, "Backing file loaded with lines left out, FileName=[%s], %s", path.c_str(), file.report.Summary().c_str());
    file.loaded = true;
    return CKoError::Success();
}

CKoError CPathCacheFlatFileIndexPrivate::EnsureOpenLocked(DirChangeSourceEnum source) {
    BackingFile& file = source == DIRCHANGE_SOURCE_PREVIOUS ? previous : current;
    if (source == DIRCHANGE_SOURCE_CURRENT) {
        if (!file.readWrite)
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "The current backing file is not set");
        // What is buffered must be on disk before it is read back.
        CKoError error = appender.Flush();
        if (error.IsError()) return error.Push(ZY_HERE);
        // The file only grows: what the window holds stays true, and reads past it fill it anew.
        if (!file.source) file.source = std::make_unique<CPositionalLineSource>(file.readWrite.get(), kBlockWindow);
    } else if (!file.readOnly) {
        if (file.path.empty())
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "The previous backing file is not set");
        CKoError error = FXEnv::Current()->NewRandomAccessFile(file.path, file.readOnly);
        FXFileStat now;
        if (error.IsSuccess()) error = FXEnv::Current()->Stat(file.path, now, true);
        if (error.IsError()) {
            file.readOnly.reset();
            return error.Push(ZY_HERE, "Open failed, FileName=[%s]", file.path.c_str());
        }
        // Offsets are only good in the file they were read from.
        if (now.size < file.identity.size || now.mtimeNs != file.identity.mtimeNs || now.inode != file.identity.inode) {
            file.readOnly.reset();
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA,
                                           "The previous backing file changed since it was loaded, FileName=[%s]",
                                           file.path.c_str());
        }
        file.blockReader.reset();
        file.source = std::make_unique<CPositionalLineSource>(file.readOnly.get(), kBlockWindow);
    }
    if (!file.source) file.source = std::make_unique<CPositionalLineSource>(file.readOnly.get(), kBlockWindow);
    if (!file.blockReader) file.blockReader = std::make_unique<CFlatDirChangeLineReader>(*file.source, 0, kBlockReadBuffer);
    return CKoError::Success();
}

void CPathCacheFlatFileIndexPrivate::CloseAfterUseLocked() {
    if (!closePreviousAfterUse) return;
    previous.blockReader.reset();
    previous.source.reset();
    previous.readOnly.reset();
}

CKoError CPathCacheFlatFileIndexPrivate::ReadBlockLocked(DirChangeSourceEnum source, uint64_t offset,
                                                        FlatFileItemMap& items) {
    const bool previousSide = source == DIRCHANGE_SOURCE_PREVIOUS;
    BackingFile& file = previousSide ? previous : current;
    const uint64_t size = previousSide ? file.identity.size : appender.Written();
    if (offset > size)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA,
                                       "Block offset past the end of the backing file, Offset=[%llu], Size=[%llu]",
                                       static_cast<unsigned long long>(offset), static_cast<unsigned long long>(size));
    if (offset > 0) {
        char before = 0;
        bool got = false;
        CKoError error = file.source->ByteAt(offset - 1, before, got);
        if (error.IsError()) return error.Push(ZY_HERE);
        if (!got || before != '\n')
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA,
                                           "Block offset does not start a line, Offset=[%llu]",
                                           static_cast<unsigned long long>(offset));
    }
    CFlatDirChangeLineReader& reader = *file.blockReader;
    CKoError error = reader.Seek(offset);
    if (error.IsError()) return error.Push(ZY_HERE);
    const bool decode = previousSide ? decodePrevious : encodeCurrent;
    for (;;) {
        bool got = false;
        error = reader.ReadLine(got);
        if (error.IsError()) return error.Push(ZY_HERE);
        // The block ends at the first line that is not a whole file line.
        if (!got || !reader.EndedByNewline() || reader.Kind() != CFlatDirChangeLineReader::LINE_FILE)
            return CKoError::Success();
        if (reader.Line().size() > kMaxLineBytes) continue;
        CDirChangeFileFormat::DecodeFlatFileName(reader.NameWithoutTab(), decode, m_name);
        if (!CTreeDirChangeFileReader::IsUsableName(m_name)) continue;
        FVBasePtr item;
        if (file.parser && (!avoidEmptyItemInfo || reader.FieldCount() > 1)) {
            reader.AssignFields(m_fields);
            error = file.parser->GetItemInfo(item, m_fields);
            if (error.IsError()) return error.Push(ZY_HERE, "Name=[%s]", m_name.c_str());
        }
        if (IsDeletedItem(item))
            items.erase(m_name);
        else
            items.insert_or_assign(m_name, std::move(item));
    }
}

CKoError CPathCacheFlatFileIndexPrivate::ReadRecordItemsLocked(const CPathCacheScanData& record,
                                                              DirChangeSourceEnum source, FlatFileItemMap& items) {
    CKoError error = EnsureOpenLocked(source);
    if (error.IsError()) return error.Push(ZY_HERE);
    const bool previousSide = source == DIRCHANGE_SOURCE_PREVIOUS;
    try {
        for (size_t i = 0; i < record.GetOffsetCount() && error.IsSuccess(); ++i) {
            const uint64_t address = record.GetOffsetAddress(i);
            if (CPathCacheScanData::IsPreviousOffsetAddress(address) != previousSide) continue;
            const uint64_t offset = CPathCacheScanData::GetAddressOfOffsetAddress(address);
            error = ReadBlockLocked(source, offset, items);
            if (error.IsError())
                error.Push(ZY_HERE, "CopyBlockAtOffset failed, Offset=[%llu]", static_cast<unsigned long long>(offset));
        }
    } catch (const std::bad_alloc&) {
        error = FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "Failed to allocate the items of a folder");
    }
    if (previousSide) CloseAfterUseLocked();
    return error;
}

CKoError CPathCacheFlatFileIndexPrivate::ReadItemsLocked(std::string_view folder, DirChangeSourceEnum source,
                                                        FlatFileItemMap& items) {
    const std::string_view key = WithoutTrailingDelimiters(folder);
    CacheNodePtr node;
    if (trie.SearchIgnoreContent(key, node) != EPathCacheResult::FOUND_EXACT) {
        ZYLOG(2, "Not found, Folder=[%.*s]", static_cast<int>(folder.size()), folder.data());
        return CKoError::Success();
    }
    const CPathCacheScanData* record = node->GetData().get();
    const bool previousSide = source == DIRCHANGE_SOURCE_PREVIOUS;
    if (!record || !(previousSide ? record->HasPreviousOffsets() : record->HasCurrentOffsets())) {
        ZYLOG(2, "No content, Folder=[%.*s]", static_cast<int>(folder.size()), folder.data());
        return CKoError::Success();
    }
    CKoError error = ReadRecordItemsLocked(*record, source, items);
    if (error.IsError()) return error.Push(ZY_HERE, "Folder=[%.*s]", static_cast<int>(folder.size()), folder.data());
    return CKoError::Success();
}

CKoError CPathCacheFlatFileIndexPrivate::GetItemsLocked(std::string_view folder, DirChangeSourceEnum source,
                                                       FlatFileItemMapPtr& items) {
    const std::string_view trimmed = WithoutTrailingDelimiters(folder);
    if (lastItems && lastKey.source == source && trimmed == lastKey.path) {
        items = lastItems;
        return CKoError::Success();
    }
    try {
        _DirChangeCacheKey key{std::string(trimmed), source};
        CKoError error = cache->Get(key, items);
        if (error.IsError()) return error.Push(ZY_HERE);
        lastKey = std::move(key);
        lastItems = items;
    } catch (const std::bad_alloc&) {
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "Failed to cache the items of a folder");
    }
    return CKoError::Success();
}

void CPathCacheFlatFileIndexPrivate::ForgetCurrentItemsLocked(std::string_view folder) {
    if (currentLoads == 0) return;
    _DirChangeCacheKey key{std::string(WithoutTrailingDelimiters(folder)), DIRCHANGE_SOURCE_CURRENT};
    if (lastItems && lastKey == key) {
        lastItems.reset();
        lastKey = _DirChangeCacheKey();
    }
    cache->Erase(key);
}

void CPathCacheFlatFileIndexPrivate::ClearCacheLocked() {
    cache->Clear();
    cacheFiles = 0;
    currentLoads = 0;
    lastItems.reset();
    lastKey = _DirChangeCacheKey();
}

void CPathCacheFlatFileIndexPrivate::LogDecision(const char* what, const std::string& folder,
                                                 const FXCodeLocation& location, const std::string& reason) const {
    if (!logDecisions) return;
    ZYLOG(2, "%s, Folder=[%s], Location=[%s(%d)], Reason=[%s]", what, folder.c_str(), location.GetFunction(),
          location.GetLine(), reason.c_str());
}

bool CPathCacheFlatFileIndexPrivate::IsSurfaceRootLocked(const std::string& path) {
    int mark = 0;
    return surface.Search(path, mark) == EPathCacheResult::FOUND_EXACT && mark == 2;
}

void CPathCacheFlatFileIndexPrivate::CloseOpenBlockLocked() {
    if (openRecord && !openHasFiles) openRecord->RemoveLastOffsetAddress(openAddress);
    openRecord = nullptr;
}

CKoError CPathCacheFlatFileIndexPrivate::AppendCurrentLocked(const std::string& data, const std::string& what) {
    if (!current.readWrite)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_GENERAL_FAILURE,
                                       "Failed to write to backing file (badbit), Path=[%s], error=%d", what.c_str(), EBADF);
    CKoError error = appender.Append(data);
    if (error.IsError()) {
        ZYLOG_ERROR("Backing file write failed, FileName=[%s], error=%s", current.path.c_str(), error.AsString().c_str());
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_GENERAL_FAILURE,
                                       "Failed to write to backing file (badbit), Path=[%s], error=%d", what.c_str(),
                                       ErrnoOf(error));
    }
    return CKoError::Success();
}

CKoError CPathCacheFlatFileIndexPrivate::WriteCurrentFolderLocked(const std::string& folder, const FVBasePtr& info) {
    CPathCacheScanData* record = nullptr;
    CKoError error = SearchOrInsertRecordLocked(folder, record);
    if (error.IsError()) return error.Push(ZY_HERE, "Folder=[%s]", folder.c_str());
    CloseOpenBlockLocked();
    m_line.clear();
    CDirChangeFileFormat::AppendFlatFolderLine(m_line, folder, encodeCurrent,
                                               formatter ? formatter->GetFormattedData(info) : std::string());
    error = AppendCurrentLocked(m_line, folder);
    if (error.IsError()) return error.Push(ZY_HERE);
    const uint64_t offset = appender.Position();
    try {
        record->AddCurrentOffsetAddress(offset);
        if (info) record->SetCurrentInfo(info);
    } catch (const std::bad_alloc&) {
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "Folder=[%s]", folder.c_str());
    }
    record->SetFlags(Flags::MergeCurrentJob(record->GetFlags(),
                                           Flags(Flags::CURRENTDIRCHANGE) | Flags(Flags::DIRCHANGE_WRITTEN)));
    lastFolderWritten = folder == "/" ? folder : folder + "/";
    openRecord = record;
    openAddress = offset;
    openHasFiles = false;
    ForgetCurrentItemsLocked(folder);
    return CKoError::Success();
}

CKoError CPathCacheFlatFileIndexPrivate::WriteCurrentFileLocked(const std::string& name, const CFlatFileIndexFileItem& item) {
    std::string decisionPoint;
    if (addDecisionPoint)
        CDirChangeFileFormat::AppendDecisionPointFields(decisionPoint, DecisionTime(), item.GetLocation(), item.GetReason());
    m_line.clear();
    CDirChangeFileFormat::AppendFlatFileLine(m_line, name, encodeCurrent,
                                             formatter ? formatter->GetFormattedData(item.GetInfo()) : std::string(),
                                             decisionPoint);
    CKoError error = AppendCurrentLocked(m_line, name);
    if (error.IsError()) return error.Push(ZY_HERE);
    openHasFiles = true;
    return CKoError::Success();
}

CKoError CPathCacheFlatFileIndexPrivate::AddCurrentFolderLocked(const std::string& folderIn, const FXCodeLocation& location,
                                                               const std::string& reason, const FVBasePtr& folderInfo,
                                                               const FlatFileIndexFileItemMap& files,
                                                               CAncestorItemInfoFactory* factory) {
    const std::string folder = NormalizeFolder(folderIn);
    const CPathCacheScanData* record = FindRecordLocked(folder);
    if (record && record->GetFlags().IsSet(Flags::DIRCHANGE_WRITTEN)) {
        LogDecision("FolderAlreadyAdded", folder, location, reason);
    } else {
        std::vector<std::string> ancestors;
        std::string path = folder;
        for (;;) {
            const size_t slash = path.rfind('/');
            if (slash == std::string::npos) break;
            path.resize(slash);
            // The root itself never gets a folder line.
            if (path.empty() || IsSurfaceRootLocked(path)) {
                if (IsSurfaceRootLocked(path)) LogDecision("AncestorFolderIgnored", path, location, reason);
                break;
            }
            const CPathCacheScanData* ancestor = FindRecordLocked(path);
            if (ancestor && ancestor->GetFlags().IsSet(Flags::DIRCHANGE_WRITTEN)) {
                LogDecision("AncestorAlreadyAdded", path, location, reason);
                break;
            }
            ancestors.push_back(path);
        }
        for (auto it = ancestors.rbegin(); it != ancestors.rend(); ++it) {
            FVBasePtr info;
            CKoError error;
            if (factory) error = factory->GetItemInfo(info, folder, *it, folderInfo);
            if (error.IsSuccess() && !info && ancestorFactory) error = ancestorFactory->GetItemInfo(info, folder, *it, folderInfo);
            if (error.IsError()) return error.Push(ZY_HERE, "ParentPath=[%s]", it->c_str());
            LogDecision("AddingAncestor", *it, location, reason);
            error = WriteCurrentFolderLocked(*it, info);
            if (error.IsError()) return error.Push(ZY_HERE, "ParentPath=[%s]", it->c_str());
        }
        LogDecision("AddingParent", folder, location, reason);
        CKoError error = WriteCurrentFolderLocked(folder, folderInfo);
        if (error.IsError()) return error.Push(ZY_HERE, "ParentPath=[%s]", folder.c_str());
    }
    if (files.empty()) return CKoError::Success();
    if (!FXPath::IsSamePathAs(lastFolderWritten, folder) || lastFolderWritten.empty()) {
        LogDecision("AddingParent", folder, location, reason);
        CKoError error = WriteCurrentFolderLocked(folder, folderInfo);
        if (error.IsError()) return error.Push(ZY_HERE, "ParentPath=[%s]", folder.c_str());
    }
    for (const auto& [name, item] : files) {
        CKoError error = WriteCurrentFileLocked(name, item);
        if (error.IsError()) return error.Push(ZY_HERE, "Folder=[%s]", folder.c_str());
    }
    ForgetCurrentItemsLocked(folder);
    return CKoError::Success();
}

CKoError CPathCacheFlatFileIndexPrivate::WriteCurrentCopyLocked(const std::string& fileName) {
    std::unique_ptr<FXWritableFile> out;
    CKoError error = FXEnv::Current()->NewWritableFile(fileName, EWriteMode::Truncate, out);
    if (error.IsError()) return error.Push(ZY_HERE, "Open failed, FileName=[%s]", fileName.c_str());
    CBufferedFileAppender writer;
    writer.Attach(out.get(), 0);
    FlatFileItemMap items;
    std::string line;
    for (CPathCacheFlatFileIndex::NodeIterator it(std::string(), trie.GetRoot(), trie.GetDelimiter(), true); !it.IsEnd();
         ++it) {
        const CPathCacheScanData* record = it.GetNode()->GetData().get();
        if (!record || !record->GetFlags().IsAnySet(Flags::CURRENT_JOB_FLAGS_MASK)) continue;
        const std::string path = it.GetName().empty() ? std::string("/") : it.GetName();
        line.clear();
        CDirChangeFileFormat::AppendFlatFolderLine(
            line, path, encodeCurrent, formatter ? formatter->GetFormattedData(record->GetCurrentInfo()) : std::string());
        items.clear();
        if (record->HasCurrentOffsets()) {
            error = ReadRecordItemsLocked(*record, DIRCHANGE_SOURCE_CURRENT, items);
            if (error.IsError()) return error.Push(ZY_HERE, "Folder=[%s]", path.c_str());
        }
        for (const auto& [name, item] : items)
            CDirChangeFileFormat::AppendFlatFileLine(line, name, encodeCurrent,
                                                     formatter ? formatter->GetFormattedData(item) : std::string());
        error = writer.Append(line);
        if (error.IsError()) return error.Push(ZY_HERE, "FileName=[%s]", fileName.c_str());
    }
    error = writer.Flush();
    if (error.IsSuccess()) error = out->Sync();
    if (error.IsSuccess()) error = out->Close();
    if (error.IsError()) return error.Push(ZY_HERE, "FileName=[%s]", fileName.c_str());
    return CKoError::Success();
}
