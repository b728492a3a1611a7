#include "scan/trueup/TrueUpDirChangeWriter.h"

#include "TrueUpContainerDirChangeWriter.h"
#include "TrueUpFlatFileDirChangeWriter.h"

CKoError CTrueUpDirChangeWriter::Create(EDirChangeMethod method, const std::string& name,
                                        std::unique_ptr<CTrueUpDirChangeWriter>& writer) {
    if (name.empty())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "No TrueUp DirChange name given");
    try {
        if (method == EDirChangeMethod::DIRCHANGE_METHOD_CONTAINER) {
            writer = std::make_unique<CTrueUpContainerDirChangeWriter>(name);
            return CKoError::Success();
        }
        if (method == EDirChangeMethod::DIRCHANGE_METHOD_FILE) {
            writer = std::make_unique<CTrueUpFlatFileDirChangeWriter>(name);
            return CKoError::Success();
        }
    } catch (const std::bad_alloc&) {
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "Failed to allocate memory");
    }
    return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_SUPPORTED, "No TrueUp DirChange writer for the method, Method=[%s]",
                                   method.AsString().c_str());
}
