#include "scan/trueup/TrueUpUnixInspectHandler.h"

// Archived stubs do not exist on this platform.
bool CTrueUpUnixInspectHandler::IsQuillfernStub(const CItem& /*item*/, std::string& /*guid*/) { return false; }

CKoError CTrueUpUnixInspectHandler::WriteToOutputFile(const CItem& /*item*/, const std::string& /*guid*/) {
    return CKoError::Success();
}
