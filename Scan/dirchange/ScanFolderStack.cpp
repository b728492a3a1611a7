#include "ScanFolderStack.h"

#include <algorithm>

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
    std::string_view p = path;
    while (p.size() > 1 && p.back() == '/') p.remove_suffix(1);
    const size_t slash = p.rfind('/');
    if (slash == std::string_view::npos || slash + 1 == p.size())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "A file needs a folder, Path=[%s]", path.c_str());
    const std::string_view folder = slash == 0 ? std::string_view("/") : p.substr(0, slash);
    const std::string_view name = p.substr(slash + 1);
    // Files come folder by folder: the open frame is almost always the file's.
    if (m_frames.empty() || !FXPath::IsSamePathAs(m_frames.back().folder, folder)) {
        Frame* frame = nullptr;
        CKoError error = FrameOf(std::string(folder), frame);
        if (error.IsError()) return error.Push(ZY_HERE);
    }
    m_frames.back().files.push_back(File{std::string(name), collected, std::move(info)});
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

std::vector<std::string_view> CScanFolderStack::SortedNames(const Frame& frame) {
    std::vector<std::string_view> names;
    names.reserve(frame.files.size());
    for (const File& file : frame.files) names.push_back(file.name);
    // The walk gives names in order already; files carried forward come after them.
    if (!std::is_sorted(names.begin(), names.end())) std::sort(names.begin(), names.end());
    return names;
}
