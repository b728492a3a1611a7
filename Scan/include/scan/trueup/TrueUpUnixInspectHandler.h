// The inspect handler of this platform, where no file is a stub of archived data.
#pragma once

#include "scan/trueup/TrueUpInspectHandler.h"

class CTrueUpUnixInspectHandler : public CTrueUpInspectHandler {
protected:
    bool IsQuillfernStub(const CItem& item, std::string& guid) override;
    CKoError WriteToOutputFile(const CItem& item, const std::string& guid) override;
};
