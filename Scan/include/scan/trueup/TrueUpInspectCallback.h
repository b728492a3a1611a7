// The basic scanner's callback of the TrueUp stub scan: aborted when the options say terminate,
// and one Unix inspect handler per root.
#pragma once

#include <memory>
#include <string>

#include "agent/BasicScanner.h"
#include "scan/trueup/TrueUpInspectOptions.h"

class CTrueUpInspectCallback : public IBasicScannerCallback {
public:
    void SetOptions(CTrueUpInspectOptionsPtr options) { m_options = std::move(options); }
    bool IsAborted() override;
    CKoError GetOutputHandler(const std::string& sourceVolumeName,
                              std::shared_ptr<IBasicScannerOutputHandler>& handler) override;

private:
    CTrueUpInspectOptionsPtr m_options;
};
