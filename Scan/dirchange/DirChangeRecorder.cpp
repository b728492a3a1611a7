#include "scan/dirchange/DirChangeRecorder.h"

#include "FlatDirChangeRecorder.h"
#include "SegmentDirChangeRecorder.h"
#include "TreeDirChangeRecorder.h"

CDirChangeRecorder::~CDirChangeRecorder() = default;

CKoError CDirChangeRecorder::Create(EDirChangeKind kind, const SOptions& options,
                                    std::unique_ptr<CDirChangeRecorder>& out) {
    try {
        switch (kind) {
            case EDirChangeKind::DIRCHANGE_KIND_TREE: out = std::make_unique<CTreeDirChangeRecorder>(options); break;
            case EDirChangeKind::DIRCHANGE_KIND_FLAT: out = std::make_unique<CFlatDirChangeRecorder>(options); break;
            case EDirChangeKind::DIRCHANGE_KIND_SEGMENTS:
                out = std::make_unique<CSegmentDirChangeRecorder>(options);
                break;
            default:
                return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "Unknown DirChange kind, Kind=[%d]",
                                               static_cast<int>(kind));
        }
    } catch (const std::bad_alloc&) {
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "Failed to create the DirChange");
    }
    return CKoError::Success();
}
