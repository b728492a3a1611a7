#include "SegmentDirChangeRecorder.h"

#include <set>

#include "DeletedItemsWalker.h"
#include "core/Env.h"
#include "core/LogWriter.h"
#include "core/Path.h"
#include "scan/dirchange/DirChangeFileFormat.h"

namespace {

using Flags = BDirChangeItemFlags;

bool SplitFile(const std::string& path, std::string& folder, std::string& name) {
    std::string parent;
    if (FXPath::SplitParentPath(path, parent, name).IsError() || name.empty()) return false;
    folder.swap(parent);
    return true;
}

struct SegmentAccess {
    SymLinkDirChange& dc;
    bool ignoreListed;
    bool FilesListed(const PathCacheNode& node) const { return !ignoreListed && node.IsMarked(); }
    bool IsPrevious(const PathCacheNode& node) const { return node.GetFlags().IsSet(Flags::PREVIOUSDIRCHANGE); }
    bool IsCurrent(const PathCacheNode& node) const { return node.GetFlags().IsAnySet(Flags::CURRENT_JOB_FLAGS_MASK); }
    CKoError Names(const std::string& /*folder*/, const PathCacheNode& node, bool previous, std::set<std::string>& names) {
        return dc.ReadNames(node, previous, names);
    }
};

}  // namespace

CSegmentDirChangeRecorder::CSegmentDirChangeRecorder(const SOptions& options)
    : m_dc(std::make_shared<SymLinkDirChange>()),
      m_stack([this](CScanFolderStack::Frame& frame) { return WriteFrame(frame); }),
      m_where(std::make_shared<SymLinkItemInfo>()),
      m_deleted(options.deletedItemsInMemory) {}

CSegmentDirChangeRecorder::~CSegmentDirChangeRecorder() = default;

CKoError CSegmentDirChangeRecorder::LoadPrevious(const std::string& fileName, ContentMapperAPI* mapper) {
    CKoError error = m_dc->LoadFile(fileName, mapper);
    if (error.IsError()) return error.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CSegmentDirChangeRecorder::StartCurrent(const std::string& fileName) {
    m_out.Detach();
    m_file.reset();
    CKoError error = FXEnv::Current()->NewWritableFile(fileName, EWriteMode::Truncate, m_file);
    if (error.IsError()) return error.Push(ZY_HERE, "Failed to open DirChange file, FileName=%s", fileName.c_str());
    m_currentFile = fileName;
    m_out.Attach(m_file.get(), 0);
    m_dc->setCDFInfo(std::make_shared<SymLinkItemInfo>(0, fileName));
    m_deleted.SetFile(fileName + ".deleted");
    return CKoError::Success();
}

CKoError CSegmentDirChangeRecorder::WriteFrame(CScanFolderStack::Frame& frame) {
    CKoError error = WriteBlock(frame.folder, frame.files, Flags(Flags::CURRENTDIRCHANGE));
    if (error.IsSuccess()) error = ListDeletedFiles(frame);
    if (error.IsError()) return error.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CSegmentDirChangeRecorder::ListDeletedFiles(const CScanFolderStack::Frame& frame) {
    if (frame.carried || !m_dc->IsPreviousDirChangeLoaded()) return CKoError::Success();
    PathCacheNode* node = m_dc->FindFolder(frame.folder);
    if (!node || !node->GetFlags().IsSet(Flags::PREVIOUSDIRCHANGE)) return CKoError::Success();
    std::set<std::string> previous;
    // Unreadable now: the listing at the end tries again (and leaves the folder out if it fails).
    if (m_dc->ReadNames(*node, true, previous).IsError()) return CKoError::Success();
    const std::vector<std::string_view> current = CScanFolderStack::SortedNames(frame);
    auto next = current.begin();
    std::string child;
    for (const std::string& name : previous) {
        while (next != current.end() && *next < name) ++next;
        if (next != current.end() && *next == name) continue;
        child = frame.folder == "/" ? "/" : frame.folder + "/";
        child += name;
        // A file that became a folder is still there.
        const PathCacheNode* folder = m_dc->FindFolder(child);
        if (folder && folder->GetFlags().IsAnySet(Flags::CURRENT_JOB_FLAGS_MASK)) continue;
        m_line.clear();
        AppendDeletedItemLine(m_line, "??d", child, false);
        CKoError error = m_deleted.Add(m_line);
        if (error.IsError()) return error.Push(ZY_HERE);
    }
    node->SetMarked(true);
    return CKoError::Success();
}

CKoError CSegmentDirChangeRecorder::WriteBlock(const std::string& folder, const std::vector<CScanFolderStack::File>& files,
                                               BDirChangeItemFlags folderFlags) {
    if (!m_file) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "No current DirChange file");
    const uint64_t start = m_out.Position();
    m_line.clear();
    CDirChangeFileFormat::AppendTreeFolderLine(m_line, folder);
    CKoError error = m_out.Append(m_line);
    if (error.IsError()) return error.Push(ZY_HERE, "FileName=[%s]", m_currentFile.c_str());
    m_where->SetLineStart(static_cast<int64_t>(start));
    m_where->SetFileOffset(static_cast<int64_t>(m_out.Position()));
    error = m_dc->AddItem(folder, folderFlags, std::string(), m_where);
    if (error.IsError()) return error.Push(ZY_HERE, "Folder=[%s]", folder.c_str());
    for (const CScanFolderStack::File& file : files) {
        const uint64_t lineStart = m_out.Position();
        m_line.clear();
        CDirChangeFileFormat::AppendTreeFileLine(m_line, file.name);
        error = m_out.Append(m_line);
        if (error.IsError()) return error.Push(ZY_HERE, "FileName=[%s]", m_currentFile.c_str());
        Flags flags = Flags(Flags::CURRENTDIRCHANGE) | Flags(Flags::CD_FILE);
        if (file.collected) flags |= Flags(Flags::CURRENTCOLLECT) | Flags(Flags::CC_FILE);
        m_path = folder;
        FXPath::Append(m_path, file.name).IgnoreError();
        m_where->SetLineStart(static_cast<int64_t>(lineStart));
        m_where->SetFileOffset(static_cast<int64_t>(m_out.Position()));
        error = m_dc->AddItem(m_path, flags, std::string(), m_where);
        if (error.IsError()) return error.Push(ZY_HERE, "Item=[%s]", m_path.c_str());
    }
    return CKoError::Success();
}

CKoError CSegmentDirChangeRecorder::AddSurface(const std::string& root) {
    // The folders above a root (not "/" itself) are path steps of this job's DirChange.
    std::vector<std::string> ancestors;
    std::string path = root;
    FXPath::RemoveTrailingDelimiter(path);
    for (;;) {
        const size_t slash = path.rfind('/');
        if (slash == std::string::npos || slash == 0) break;
        path.resize(slash);
        ancestors.push_back(path);
    }
    for (auto it = ancestors.rbegin(); it != ancestors.rend(); ++it) {
        const PathCacheNode* node = m_dc->FindFolder(*it);
        if (node && node->GetFlags().IsAnySet(Flags::CURRENT_JOB_FLAGS_MASK)) continue;
        CKoError error = WriteBlock(*it, {}, Flags(Flags::CD_INTERMEDIATE));
        if (error.IsError()) return error.Push(ZY_HERE, "Root=[%s]", root.c_str());
    }
    return CKoError::Success();
}

bool CSegmentDirChangeRecorder::IsFileInPreviousJob(const std::string& path) {
    bool found = false;
    CKoError error = m_dc->LookupFile(path, true, found);
    if (error.IsError()) {
        // Unknown: the file is taken for new and collected.
        ZYLOG_ERROR("Cannot read the previous job's names, Path=[%s], error=%s", path.c_str(), error.AsString().c_str());
        return false;
    }
    return found;
}

bool CSegmentDirChangeRecorder::IsFolderInPreviousJob(const std::string& path) {
    const PathCacheNode* node = m_dc->FindFolder(path);
    return node && node->GetFlags().IsSet(Flags::PREVIOUSDIRCHANGE) && !node->GetFlags().IsSet(Flags::PD_FILE);
}

CKoError CSegmentDirChangeRecorder::AddFolder(const std::string& path) { return m_stack.Enter(path); }

CKoError CSegmentDirChangeRecorder::AddFile(const std::string& path, bool collected) {
    return m_stack.AddFile(path, collected);
}

CKoError CSegmentDirChangeRecorder::CarryForward(const std::string& pathIn) {
    std::string path = pathIn;
    FXPath::RemoveTrailingDelimiter(path);
    CKoError first;
    // The previous job's folder and the folders below it, with their names.
    SymLinkDirChange::Trie::NodePtr start;
    const std::string startPath = path == "/" ? std::string() : path;
    if (m_dc->GetTrie().SearchIgnoreContent(startPath, start) == EPathCacheResult::FOUND_EXACT) {
        std::vector<std::string> folders;
        for (CPathCacheOrderedTNodeIterator<PathCacheNodePtr> it(startPath, start, '/', true); !it.IsEnd(); ++it) {
            const PathCacheNode* node = it.GetNode()->GetData().get();
            if (node && node->GetFlags().IsSet(Flags::PREVIOUSDIRCHANGE))
                folders.push_back(it.GetName().empty() ? std::string("/") : it.GetName());
        }
        for (const std::string& folder : folders) {
            PathCacheNode* node = m_dc->FindFolder(folder);
            std::set<std::string> names;
            CKoError error = m_dc->ReadNames(*node, true, names);
            if (error.IsError()) {
                // The folder is still carried (its files unknown), so it is not taken for deleted.
                ZYLOG_ERROR("Cannot read the previous job's names, Folder=[%s], error=%s", folder.c_str(),
                            error.AsString().c_str());
                if (first.IsSuccess()) first = error.Push(ZY_HERE, "Folder=[%s]", folder.c_str());
                names.clear();
            }
            std::vector<CScanFolderStack::File> files;
            for (const std::string& name : names) files.push_back(CScanFolderStack::File{name, false, FVBasePtr()});
            if (CScanFolderStack::Frame* frame = m_stack.Find(folder)) {
                frame->files.insert(frame->files.end(), files.begin(), files.end());
                frame->carried = true;
                continue;
            }
            error = WriteBlock(folder, files, Flags(Flags::CURRENTDIRCHANGE));
            if (error.IsError()) return error.Push(ZY_HERE, "Folder=[%s]", folder.c_str());
        }
    }
    // Or a file the previous job had (unless the walk saw a folder there now).
    std::string folder, name;
    if (SplitFile(path, folder, name) && IsFolderInPreviousJob(folder) && !m_stack.Find(path)) {
        bool found = false;
        CKoError error = m_dc->LookupFile(path, true, found);
        if (error.IsSuccess() && found) {
            error = m_stack.AddFile(path, false);
        }
        if (error.IsError() && first.IsSuccess()) first = error.Push(ZY_HERE, "Path=[%s]", path.c_str());
    }
    return first;
}

bool CSegmentDirChangeRecorder::IsWritten(const std::string& folder) { return m_dc->IsWritten(folder, Flags::COLLECT_WRITTEN); }

CKoError CSegmentDirChangeRecorder::SetWritten(const std::string& folder) {
    return m_dc->SetWritten(folder, Flags::COLLECT_WRITTEN);
}

CKoError CSegmentDirChangeRecorder::EndScan() {
    CKoError error = m_stack.LeaveAll();
    if (error.IsError()) return error.Push(ZY_HERE);
    m_dc->CloseOpenSegment(static_cast<int64_t>(m_out.Position()));
    error = m_dc->IdentifyIntermediateNodes();
    if (error.IsSuccess() && m_file) error = m_out.Flush();
    if (error.IsSuccess() && m_file) error = m_file->Sync();
    if (error.IsSuccess() && m_file) error = m_file->Close();
    if (error.IsError()) return error.Push(ZY_HERE, "FileName=[%s]", m_currentFile.c_str());
    m_out.Detach();
    m_file.reset();
    return CKoError::Success();
}

CKoError CSegmentDirChangeRecorder::WriteDeletedItems(FILE* out, bool listEveryItem) {
    CKoError error = listEveryItem ? CKoError() : m_deleted.CopyTo(out);
    SegmentAccess access{*m_dc, listEveryItem};
    CDeletedItemsWalker<PathCacheNode, SegmentAccess> walker(m_dc->GetTrie(), access);
    if (error.IsSuccess()) error = walker.Write(out, listEveryItem);
    if (error.IsError()) return error.Push(ZY_HERE);
    return CKoError::Success();
}
