// The comparison run over two flat DirChange files.
#include "TrueUpBrowseHandlerPrivate.h"

CKoError CTrueUpBrowseHandlerPrivate::CompareDirChangeFiles(const CTrueUpCompareOptionsPtr&,
                                                            const CTrueUpDifferenceCallbackPtr&,
                                                            const CAbortOperationCheckPtr&) {
    return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_SUPPORTED, "Flat DirChange comparison not built yet");
}
