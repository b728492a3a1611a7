#include "ScanFolderStack.h"

#include "core/Path.h"

CKoError CScanFolderStack::LeaveUntilInside(const std::string& folder) {
    while (!m_frames.empty() && !FXPath::IsAncestorOf(m_frames.back().folder, folder, true)) {
        CKoError error = m_writer(m_frames.back());
        m_frames.pop_back();
        if (error.IsError()) return error.Push(ZY_HERE);
    }
    return CKoError::Success();
}

CKoError CScanFolderStack::Enter(const std::string& folder) {
    CKoError error = LeaveUntilInside(folder);
    if (error.IsError()) return error.Push(ZY_HERE);
    if (m_frames.empty() || !FXPath::IsSamePathAs(m_frames.back().folder, folder)) m_frames.push_back(Frame{folder, {}});
    return CKoError::Success();
}

CKoError CScanFolderStack::FrameOf(const std::string& folder, Frame*& frame) {
    CKoError error = Enter(folder);
    if (error.IsError()) return error.Push(ZY_HERE);
    frame = &m_frames.back();
    return CKoError::Success();
}

CKoError CScanFolderStack::AddFile(const std::string& path, bool collected, FVBasePtr info) {
    std::string folder, name;
    if (FXPath::SplitParentPath(path, folder, name).IsError() || name.empty())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "A file needs a folder, Path=[%s]", path.c_str());
    Frame* frame = nullptr;
    CKoError error = FrameOf(folder, frame);
    if (error.IsError()) return error.Push(ZY_HERE);
    frame->files.push_back(File{std::move(name), collected, std::move(info)});
    return CKoError::Success();
}

CScanFolderStack::Frame* CScanFolderStack::Find(const std::string& folder) {
    for (auto it = m_frames.rbegin(); it != m_frames.rend(); ++it)
        if (FXPath::IsSamePathAs(it->folder, folder)) return &*it;
    return nullptr;
}

CKoError CScanFolderStack::LeaveAll() {
    CKoError first;
    while (!m_frames.empty()) {
        CKoError error = m_writer(m_frames.back());
        m_frames.pop_back();
        if (error.IsError() && first.IsSuccess()) first = error;
    }
    if (first.IsError()) return first.Push(ZY_HERE);
    return CKoError::Success();
}
