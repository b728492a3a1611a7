#include <new>
#include <string_view>
#include <vector>

#include "core/LogWriter.h"
#include "scan/collect/BasicCollectFileSolr.h"
#include "scan/collect/StartCharacterCollectLineFormatter.h"

namespace {

// Index items carry backslash-separated paths.
size_t CountComponents(std::string_view path) {
    while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
    size_t count = 0;
    bool inName = false;
    for (char c : path) {
        if (c == '\\') {
            inName = false;
        } else if (!inName) {
            inName = true;
            ++count;
        }
    }
    return count;
}

}  // namespace

CBasicCollectFileSolr::CBasicCollectFileSolr() = default;

CBasicCollectFileSolr::~CBasicCollectFileSolr() = default;

bool CBasicCollectFileSolr::IsFolderAlreadyAdded(const std::string& /*path*/) { return false; }

// Ancestors deeper than the item's strip level are written under the item's pseudo path and
// hidden from browse; the others are replaced by the ancestors of the pseudo path itself.
CKoError CBasicCollectFileSolr::ProcessFolderEntry(const CCollectFileEntry* entry,
                                                   const std::shared_ptr<CCollectFileFolderEntry>& ancestor,
                                                   CCollectLineFormatter& formatter) {
    const std::string& path = ancestor->GetFullPath();
    if (CountComponents(path) > entry->GetStripLevel() && !CBasicCollectFile::IsFolderAlreadyAdded(path)) {
        ancestor->SetPseudoPath(entry->GetPseudoPath());
        ancestor->SetStripLevel(entry->GetStripLevel());
        ancestor->SetCxHdrHideInBrowse(true);
        return CKoError::Success();
    }
    ancestor->SetSkipFolderFromCollect(true);
    CKoError error = WritePseudoAncestors(entry->GetPseudoPath(), formatter);
    if (error.IsError()) return error.Push(ZY_HERE, "WritePseudoAncestors failed, PseudoPath=[%s]", entry->GetPseudoPath().c_str());
    return CKoError::Success();
}

// The missing ancestors of the pseudo path, top-most first, as folders that do not exist on disk.
CKoError CBasicCollectFileSolr::WritePseudoAncestors(const std::string& pseudoPath, CCollectLineFormatter& formatter) {
    std::vector<std::string> missing;  // nearest first
    const std::string_view full(pseudoPath);
    for (size_t end = full.size(); end > 0;) {
        const size_t cut = full.rfind('/', end - 1);
        if (cut == std::string_view::npos) break;
        end = cut;
        // The root is no line of its own, nor is the empty component of "a//b".
        const std::string_view ancestor = full.substr(0, cut);
        if (ancestor.empty() || ancestor.back() == '/') continue;
        std::string path(ancestor);
        if (CBasicCollectFile::IsFolderAlreadyAdded(path)) break;
        missing.push_back(std::move(path));
    }
    auto* startCharacter = dynamic_cast<CStartCharacterCollectLineFormatter*>(&formatter);
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        std::shared_ptr<CCollectFileFolderEntry> folder;
        try {
            folder = std::make_shared<CCollectFileFolderEntry>(*it, ZY_HERE, "Ancestor", true);
        } catch (const std::bad_alloc&) {
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY,
                                           "Failed to allocate ancestor entry, FullPath=[%s]", it->c_str());
        }
        if (startCharacter) startCharacter->SetDirDoesNotExist(true);
        CKoError error = WriteEntry(*folder, formatter);
        if (startCharacter) startCharacter->SetDirDoesNotExist(false);
        if (error.IsError()) return error.Push(ZY_HERE, "WriteEntry failed, FullPath=[%s]", folder->GetFullPath().c_str());
    }
    return CKoError::Success();
}
