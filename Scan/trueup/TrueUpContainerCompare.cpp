// The comparison run over two DirChange containers.
#include "TrueUpBrowseHandlerPrivate.h"
#include "agent/CompareContentContainers.h"
#include "core/LogWriter.h"
#include "scan/trueup/TrueUpContentContainerCompareCallback.h"

namespace {

CKoError OpenContainer(const std::string& name, const char* notConfigured, const char* missing,
                       std::shared_ptr<CX::CContentContainer>& container) {
    if (name.empty()) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "%s", notConfigured);
    container = std::make_shared<CX::CContentContainer>();
    container->SetName(name);
    if (!container->Exists())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, missing, name.c_str());
    CKoError e = container->OpenExisting();
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

}  // namespace

CKoError CTrueUpBrowseHandlerPrivate::CompareDirChangeContainers(const CTrueUpCompareOptionsPtr& options,
                                                                 const CTrueUpDifferenceCallbackPtr& callback,
                                                                 const CAbortOperationCheckPtr& abort) {
    std::shared_ptr<CX::CContentContainer> trueUp, comparison;
    CKoError e = OpenContainer(trueUpContainerName, "TrueUp DirChange container name not configured",
                               "TrueUp DirChange container does not exist, FileName=[%s]", trueUp);
    if (e.IsSuccess())
        e = OpenContainer(comparisonContainerName, "Comparison DirChange container name not configured",
                          "Comparison DirChange container does not exist, FileName=[%s]", comparison);
    if (e.IsError()) return e.Push(ZY_HERE);
    ZYLOG(1, "Opened DirChange containers for comparison, TrueUpContainerName=[%s], ComparisonContainerName=[%s]",
          trueUpContainerName.c_str(), comparisonContainerName.c_str());
    CX::CCompareContentContainers comparer(trueUp, comparison);
    CX::CConfigurationBag configuration;
    configuration.SetBool(CX::CConfigurationBag::kRecurseIntoDeletedFolders, true);
    comparer.SetConfiguration(configuration);
    CTrueUpContentContainerCompareCallback compareCallback(callback, abort, options);
    e = comparer.CompareDatabases(compareCallback);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}
