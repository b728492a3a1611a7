#include "FlatDirChangeRecorder.h"

#include "DeletedItemsWalker.h"
#include "PathCacheFlatFileIndexPrivate.h"
#include "core/Env.h"
#include "core/LogWriter.h"

namespace {

using Flags = BDirChangeItemFlags;

bool SplitFile(const std::string& path, std::string& folder, std::string& name) {
    std::string_view f, n;
    if (!CPathCacheFlatFileIndexPrivate::SplitFile(path, f, n)) return false;
    folder.assign(f);
    name.assign(n);
    return true;
}

struct FlatAccess {
    CPathCacheFlatFileIndex& index;
    bool ignoreListed;  // list every file again (the lines spooled during the scan are not used)
    bool IsPrevious(const CPathCacheScanData& data) const { return data.GetFlags().IsSet(Flags::PREVIOUSDIRCHANGE); }
    bool IsCurrent(const CPathCacheScanData& data) const {
        return data.GetFlags().IsAnySet(Flags::CURRENT_JOB_FLAGS_MASK);
    }
    bool FilesListed(const CPathCacheScanData& data) const { return !ignoreListed && data.IsMarked(); }
    CKoError Names(const std::string& folder, const CPathCacheScanData& /*data*/, bool previous,
                   std::set<std::string>& names) {
        FlatFileItemMapPtr items;
        CKoError error = previous ? index.GetPreviousItems(folder, items) : index.GetCurrentItems(folder, items);
        if (error.IsError()) return error.Push(ZY_HERE);
        for (const auto& entry : *items) names.insert(names.end(), entry.first);
        return CKoError::Success();
    }
};

}  // namespace

CFlatDirChangeRecorder::CFlatDirChangeRecorder(const SOptions& options)
    : m_options(options),
      m_index(std::make_shared<CPathCacheFlatFileIndex>()),
      m_stack([this](CScanFolderStack::Frame& frame) { return WriteFrame(frame); }),
      m_deleted(options.deletedItemsInMemory) {
    m_index->SetIncludeFiles(options.includeFiles);
    // Deleted marks must be read back; lines without fields cost no item.
    m_index->SetPreviousBackingFileParser(std::make_shared<CDirChangeItemBaseParser>());
    m_index->SetCurrentBackingFileParser(std::make_shared<CDirChangeItemBaseParser>());
    m_index->SetItemInfoFormatter(std::make_shared<CDirChangeItemBaseFormatter>());
    m_index->SetAvoidLoadingEmptyItemInfo(true);
}

CKoError CFlatDirChangeRecorder::LoadPrevious(const std::string& fileName, ContentMapperAPI* mapper) {
    CKoError error = m_index->SetPreviousBackingFile(fileName, mapper);
    if (error.IsError()) return error.Push(ZY_HERE);
    return CKoError::Success();
}

SDirChangeLoadReport CFlatDirChangeRecorder::GetLoadReport() const {
    return m_index->GetLoadReport(DIRCHANGE_SOURCE_PREVIOUS);
}

CKoError CFlatDirChangeRecorder::StartCurrent(const std::string& fileName) {
    // A new job starts its DirChange anew (a restart would keep it: SetCurrentBackingFile reads it).
    CKoError error = FXEnv::Current()->RemoveFile(fileName);
    if (error.IsError() && !FXErrorUtil::IsWin32(error, ZyWin32::ERROR_FILE_NOT_FOUND))
        return error.Push(ZY_HERE, "FileName=[%s]", fileName.c_str());
    error = m_index->SetCurrentBackingFile(fileName, nullptr);
    if (error.IsError()) return error.Push(ZY_HERE);
    m_deleted.SetFile(fileName + ".deleted");
    return CKoError::Success();
}

CKoError CFlatDirChangeRecorder::AddSurface(const std::string& root) { return m_index->AddSurface(root); }

bool CFlatDirChangeRecorder::IsFileInPreviousJob(const std::string& path) {
    return m_index->IsItemInPreviousJob(path, Flags::PD_FILE);
}

bool CFlatDirChangeRecorder::IsFolderInPreviousJob(const std::string& path) {
    EPathCacheResult result;
    CPathCacheScanDataPtr data;
    m_index->GetFolderData(path, result, data).IgnoreError();
    return result == EPathCacheResult::FOUND_EXACT && data && data->GetFlags().IsSet(Flags::PREVIOUSDIRCHANGE);
}

CKoError CFlatDirChangeRecorder::WriteFrame(CScanFolderStack::Frame& frame) {
    // Before the names move into the map below.
    CKoError error = ListDeletedFiles(frame);
    if (error.IsError()) return error.Push(ZY_HERE, "Folder=[%s]", frame.folder.c_str());
    FlatFileIndexFileItemMap files;
    if (m_options.includeFiles) {
        for (CScanFolderStack::File& file : frame.files)
            files.emplace(std::move(file.name),
                          CFlatFileIndexFileItem(ZY_HERE, file.collected ? "Collected" : "Scanned", std::move(file.info)));
    }
    error = m_index->AddCurrentFolder(frame.folder, ZY_HERE, "Scanned", FVBasePtr(), files);
    if (error.IsError()) return error.Push(ZY_HERE, "Folder=[%s]", frame.folder.c_str());
    return CKoError::Success();
}

CKoError CFlatDirChangeRecorder::ListDeletedFiles(const CScanFolderStack::Frame& frame) {
    if (!m_options.includeFiles || frame.carried || !m_index->IsPreviousDirChangeLoaded()) return CKoError::Success();
    EPathCacheResult result;
    CPathCacheScanDataPtr data;
    m_index->GetFolderData(frame.folder, result, data).IgnoreError();
    if (result != EPathCacheResult::FOUND_EXACT || !data || !data->GetFlags().IsSet(Flags::PREVIOUSDIRCHANGE))
        return CKoError::Success();
    FlatFileItemMapPtr previous;
    // Unreadable now: the listing at the end tries again (and leaves the folder out if it fails).
    if (m_index->GetPreviousItems(frame.folder, previous).IsError()) return CKoError::Success();
    const std::vector<std::string_view> current = CScanFolderStack::SortedNames(frame);
    auto next = current.begin();
    for (const auto& entry : *previous) {
        const std::string_view name = entry.first;
        while (next != current.end() && *next < name) ++next;
        if (next != current.end() && *next == name) continue;
        m_child = frame.folder == "/" ? "/" : frame.folder + "/";
        m_child += name;
        // A file that became a folder is still there.
        EPathCacheResult childResult;
        CPathCacheScanDataPtr child;
        m_index->GetFolderData(m_child, childResult, child).IgnoreError();
        if (childResult == EPathCacheResult::FOUND_EXACT && child &&
            child->GetFlags().IsAnySet(Flags::CURRENT_JOB_FLAGS_MASK))
            continue;
        m_line.clear();
        AppendDeletedItemLine(m_line, "??d", m_child, false);
        CKoError error = m_deleted.Add(m_line);
        if (error.IsError()) return error.Push(ZY_HERE);
    }
    data->SetMarked(true);
    return CKoError::Success();
}

CKoError CFlatDirChangeRecorder::AddFolder(const std::string& path) { return m_stack.Enter(path); }

CKoError CFlatDirChangeRecorder::AddFile(const std::string& path, bool collected) {
    return m_stack.AddFile(path, collected);
}

CKoError CFlatDirChangeRecorder::CarryForward(const std::string& path) {
    // The previous job's folder and what was below it.
    CKoError first = m_index->CopyBlockFromPrevDCToCurDC(path);
    if (first.IsError()) first.Push(ZY_HERE, "Path=[%s]", path.c_str());
    if (CScanFolderStack::Frame* frame = m_stack.Find(path)) frame->carried = true;
    // Or a file the previous job had (unless the walk saw a folder there now).
    std::string folder, name;
    if (m_options.includeFiles && SplitFile(path, folder, name) && IsFolderInPreviousJob(folder) && !m_stack.Find(path)) {
        FlatFileItemMapPtr items;
        CKoError error = m_index->GetPreviousItems(folder, items);
        if (error.IsSuccess()) {
            auto found = items->find(name);
            if (found != items->end()) {
                error = m_stack.AddFile(path, false, found->second);
            }
        }
        if (error.IsError() && first.IsSuccess()) first = error.Push(ZY_HERE, "Path=[%s]", path.c_str());
    }
    return first;
}

bool CFlatDirChangeRecorder::IsWritten(const std::string& folder) {
    return m_index->IsWritten(folder, Flags::COLLECT_WRITTEN);
}

CKoError CFlatDirChangeRecorder::SetWritten(const std::string& folder) {
    return m_index->SetWritten(folder, Flags::COLLECT_WRITTEN);
}

CKoError CFlatDirChangeRecorder::EndScan() {
    CKoError error = m_stack.LeaveAll();
    if (error.IsSuccess() && m_options.compactAtEnd) error = m_index->UpdateCurrentDirChangeFile();
    if (error.IsSuccess()) error = m_index->SyncCurrentBackingFile();
    if (error.IsError()) return error.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CFlatDirChangeRecorder::WriteDeletedItems(FILE* out, bool listEveryItem) {
    // Each folder's two lists are read once, in trie order: two cached folders are enough.
    const size_t capacity = m_index->GetDirchangeCacheCapacity();
    m_index->SetDirchangeCacheCapacity(2);
    CKoError error = listEveryItem ? CKoError() : m_deleted.CopyTo(out);
    FlatAccess access{*m_index, listEveryItem};
    CDeletedItemsWalker<CPathCacheScanData, FlatAccess> walker(m_index->GetPrivate()->trie, access);
    if (error.IsSuccess()) error = walker.Write(out, listEveryItem);
    m_index->SetDirchangeCacheCapacity(capacity);
    if (error.IsError()) return error.Push(ZY_HERE);
    return CKoError::Success();
}
