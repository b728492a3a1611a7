// The folders a depth-first walk is inside, each with the files met in it so far, so that a
// folder's files can be written as one block when the walk leaves it (a walk meets a folder's
// files before, between and after its subfolders).
#pragma once

#include <functional>
#include <string_view>
#include <string>
#include <utility>
#include <vector>

#include "core/KoError.h"
#include "scan/dirchange/FVBase.h"

class CScanFolderStack {
public:
    struct File {
        std::string name;
        bool collected = false;
        FVBasePtr info;  // what the previous job recorded, for files carried forward
    };
    struct Frame {
        std::string folder;
        std::vector<File> files;
        bool carried = false;  // what the previous job had here is kept (the folder could not be read)
    };
    // Writes a frame the walk has left.
    using Writer = std::function<CKoError(Frame&)>;

    explicit CScanFolderStack(Writer writer) : m_writer(std::move(writer)) {}

    // The walk entered `folder`: the folders it is not inside are written and left.
    CKoError Enter(const std::string& folder);
    // The frame of `folder`, entering it when the walk is not inside it already.
    CKoError FrameOf(const std::string& folder, Frame*& frame);
    // A file met by the walk, in the frame of its folder (Win32 87 for a path without a folder).
    CKoError AddFile(const std::string& path, bool collected, FVBasePtr info = FVBasePtr());
    // An open frame of `folder`, or null; nothing is written.
    Frame* Find(const std::string& folder);
    // Writes and leaves every frame.
    CKoError LeaveAll();
    bool IsEmpty() const { return m_frames.empty(); }
    // The names of a frame's files, sorted.
    static std::vector<std::string_view> SortedNames(const Frame& frame);

private:
    CKoError LeaveUntilInside(const std::string& folder);

    Writer m_writer;
    std::vector<Frame> m_frames;
};
