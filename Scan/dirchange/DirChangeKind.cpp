#include "scan/dirchange/DirChangeKind.h"

#include "core/PlatformInfo.h"
#include "core/StringUtil.h"

const char* EDirChangeKind::AsString() const {
    switch (m_value) {
        case DIRCHANGE_KIND_TREE: return "tree";
        case DIRCHANGE_KIND_FLAT: return "flat";
        case DIRCHANGE_KIND_SEGMENTS: return "segments";
    }
    return "unknown";
}

CKoError EDirChangeKind::Parse(std::string_view text, EDirChangeKind& kind) {
    for (Value value : {DIRCHANGE_KIND_TREE, DIRCHANGE_KIND_FLAT, DIRCHANGE_KIND_SEGMENTS}) {
        if (FXString::EqualsNoCase(text, EDirChangeKind(value).AsString())) {
            kind = value;
            return CKoError::Success();
        }
    }
    return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER,
                                   "Unknown DirChange kind, Kind=[%.*s] (tree, flat or segments)",
                                   static_cast<int>(text.size()), text.data());
}

CKoError EDirChangeKind::FromSetting(EDirChangeKind& kind) {
    std::string value;
    if (ZYPlatformInfo::getString("FileSystemAgent", "DirChangeKind", value).IsError()) {
        kind = DIRCHANGE_KIND_TREE;
        return CKoError::Success();
    }
    FXString::Trim(value);
    CKoError error = Parse(value, kind);
    if (error.IsError()) return error.Push(ZY_HERE, "Setting=[FileSystemAgent/DirChangeKind]");
    return CKoError::Success();
}

CKoError EDirChangeKind::FromRecord(std::string_view recorded, EDirChangeKind& kind) {
    if (recorded.empty()) {
        kind = DIRCHANGE_KIND_TREE;
        return CKoError::Success();
    }
    CKoError error = Parse(recorded, kind);
    if (error.IsError()) return error.Push(ZY_HERE, "The previous job recorded an unknown DirChange kind");
    return CKoError::Success();
}

bool EDirChangeKind::CanLoadPreviousOf(EDirChangeKind previous, std::string& reason) const {
    reason.clear();
    if (UsesTreeFile() == previous.UsesTreeFile()) return true;
    reason = FXString::Format(
        "the previous job kept its DirChange as %s (%s) and this job keeps %s (%s), which cannot be read from it",
        previous.UsesTreeFile() ? "a tree DirChange file" : "a flat DirChange file", previous.AsString(),
        UsesTreeFile() ? "a tree DirChange file" : "a flat DirChange file", AsString());
    return false;
}
