// Runs the TrueUp stub scan over a list of content paths with the agent's basic scanner: the
// worker count comes from the setting "MaxWorkers" of section "DataClassification:Scanner" (4 when
// not set), scan errors go to the log, and the items to a CTrueUpInspectCallback.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/KoError.h"
#include "scan/trueup/TrueUpInspectOptions.h"

enum class ETrueUpStubType { None, Quillfern };

class CTrueUpBasicScannerOps {
public:
    CTrueUpBasicScannerOps();
    virtual ~CTrueUpBasicScannerOps();

    // `maxWorkers` 0: from the setting. The job-results folder receives the stub GUID files.
    virtual CKoError Initialize(int maxWorkers, const std::string& jobResultsFolder);
    void AddContent(const std::string& path) { m_content.push_back(path); }
    void ClearContent() { m_content.clear(); }
    const std::vector<std::string>& GetContent() const { return m_content; }
    void SetSubClientBackupSetmap(std::map<uint32_t, uint32_t> map);
    // Not implemented on this platform (logged).
    void SetCredentials(const std::string& user, const std::string& password);
    void SetStubType(ETrueUpStubType type);

    virtual CKoError Run();
    int64_t GetTotalFilesInspected() const { return m_options->GetInspected(); }
    int64_t GetTotalFilesQualified() const { return m_options->GetQualified(); }
    const CTrueUpInspectOptionsPtr& GetOptions() const { return m_options; }
    // The stub GUID writer of the first backup set of the map.
    CKoError CreateStubGUIDWriter(CTrueUpStubGuidWriterPtr& writer);

protected:
    std::vector<std::string> m_content;
    CTrueUpInspectOptionsPtr m_options;
    int m_maxWorkers = 0;
};

// The variant of this platform: local paths only.
class CTrueUpUnixBasicScannerOps : public CTrueUpBasicScannerOps {
public:
    CKoError Run() override;
};
