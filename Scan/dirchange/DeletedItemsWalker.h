// The deleted items of a DirChange that keeps folders in a trie and files on disk (the flat-file
// index, the segment DirChange), listed as the tree DirChange lists them: an item is deleted when
// the previous job had it (as a file or a folder) and the current job does not (as either).
// "??d" + path for a file (and, with listEveryItem, for a folder, path ending in "/"); "??D" +
// path + "/" for a deleted folder standing for everything below it.
//
// A folder whose file names cannot be read is left out: nothing is reported deleted that could
// not be read.
//
// A folder whose deleted files its owner listed already while the scan went (FilesListed) is
// only looked at for the folders below it.
//
// `Access` gives, for a payload: IsPrevious(p), IsCurrent(p), FilesListed(p), and
// Names(folderPath, p, previous, std::set<std::string>&) -> CKoError.
#pragma once

#include <cerrno>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/File.h"
#include "core/KoError.h"
#include "core/LogWriter.h"
#include "core/ScanMisc.h"
#include "core/StringUtil.h"
#include "scan/dirchange/PathCache.h"

// One deleted-item line as the tree DirChange writes it: network paths in moniker form behind a
// "/", a folder with a trailing "/".
inline void AppendDeletedItemLine(std::string& out, const char* kind, const std::string& path, bool folder) {
    out += kind;
    if (FXFile::IsVolumeUnc(path)) {
        out += "/";
        out += SXScanMisc::ConvertToUncMoniker(path);
    } else {
        out += path;
    }
    if (folder && (out.empty() || out.back() != '/')) out.push_back('/');
    out.push_back('\n');
}

template <class Payload, class Access>
class CDeletedItemsWalker {
public:
    using Trie = CPathCacheOrderedT<std::shared_ptr<Payload>>;
    using NodePtr = typename Trie::NodePtr;

    CDeletedItemsWalker(const Trie& trie, Access& access) : m_trie(trie), m_access(access) {}

    CKoError Write(FILE* out, bool listEveryItem) {
        if (!out) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "No stream to write deleted items to");
        struct Pending {
            NodePtr node;
            std::string path;  // "" for the root
        };
        std::vector<Pending> pending{Pending{m_trie.GetRoot(), std::string()}};
        std::set<std::string> previousNames, currentNames;
        std::string child;
        while (!pending.empty()) {
            Pending item = std::move(pending.back());
            pending.pop_back();
            const std::string folder = item.path.empty() ? std::string("/") : item.path;
            const Payload* payload = item.node->GetData().get();
            previousNames.clear();
            currentNames.clear();
            bool known = true;          // the current names are known (or not needed)
            bool currentRead = false;  // currentNames holds them
            auto readCurrent = [&]() {
                if (currentRead || !known) return;
                currentRead = true;
                if (!payload || !m_access.IsCurrent(*payload)) return;
                CKoError error = m_access.Names(folder, *payload, false, currentNames);
                if (error.IsError()) {
                    // Without the list nothing here can be called deleted.
                    ++m_unreadable;
                    ZYLOG_ERROR("Deleted items of a folder left out: its names cannot be read, Folder=[%s], error=%s",
                                folder.c_str(), error.AsString().c_str());
                    known = false;
                }
            };
            if (payload && m_access.IsPrevious(*payload) && !m_access.FilesListed(*payload)) {
                CKoError error = m_access.Names(folder, *payload, true, previousNames);
                if (error.IsError()) {
                    ++m_unreadable;
                    ZYLOG_ERROR("Deleted files of a folder left out: its names cannot be read, Folder=[%s], error=%s",
                                folder.c_str(), error.AsString().c_str());
                    previousNames.clear();
                }
                if (!previousNames.empty()) readCurrent();
                if (known) {
                    for (const std::string& name : previousNames) {
                        if (currentNames.count(name)) continue;
                        const NodePtr* childNode = item.node->FindChild(name);
                        // A file that became a folder is still there.
                        if (childNode && (*childNode)->GetData() && m_access.IsCurrent(*(*childNode)->GetData())) continue;
                        child = item.path + "/" + name;
                        Emit("??d", child, false);
                    }
                }
            }
            const auto& children = item.node->GetChildren();
            const size_t first = pending.size();
            for (auto it = children.begin(); it != children.end(); ++it) {
                const NodePtr& node = it.Get();
                child = item.path + "/" + std::string(node->GetName());
                const Payload* data = node->GetData().get();
                if (data && m_access.IsPrevious(*data) && !m_access.IsCurrent(*data)) {
                    // A folder that became a file is still there; so is one whose folder could not be read.
                    readCurrent();
                    if (known && !currentNames.count(std::string(node->GetName()))) {
                        Emit(listEveryItem ? "??d" : "??D", child, true);
                        if (!listEveryItem) continue;
                    }
                }
                pending.push_back(Pending{node, child});
            }
            // Children in name order.
            std::reverse(pending.begin() + static_cast<std::ptrdiff_t>(first), pending.end());
            if (m_text.size() >= 256 * 1024) {
                CKoError error = Flush(out);
                if (error.IsError()) return error.Push(ZY_HERE);
            }
        }
        CKoError error = Flush(out);
        if (error.IsError()) return error.Push(ZY_HERE);
        return CKoError::Success();
    }

    uint64_t GetWrittenCount() const { return m_written; }
    // Folders whose names could not be read (their deleted files are not listed).
    uint64_t GetUnreadableCount() const { return m_unreadable; }

private:
    void Emit(const char* kind, const std::string& path, bool folder) {
        AppendDeletedItemLine(m_text, kind, path, folder);
        ++m_written;
    }

    CKoError Flush(FILE* out) {
        if (m_text.empty()) return CKoError::Success();
        errno = 0;
        if (std::fwrite(m_text.data(), 1, m_text.size(), out) != m_text.size() || std::ferror(out)) {
            const int err = errno ? errno : EIO;
            m_text.clear();
            return FXErrorUtil::ErrorErrNo(ZY_HERE, err, "Failed to write deleted items");
        }
        m_text.clear();
        return CKoError::Success();
    }

    const Trie& m_trie;
    Access& m_access;
    std::string m_text;
    uint64_t m_written = 0;
    uint64_t m_unreadable = 0;
};
