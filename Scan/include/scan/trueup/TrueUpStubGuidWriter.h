// The output of the TrueUp stub scan for one backup set: one line per stub found (its data GUID
// and path), in "TrueUp/StubGUID_<backup set>.txt" of the job-results folder. The file is only
// made when the first stub is written; shared by the scan's workers.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "core/Env.h"
#include "core/KoError.h"

class CTrueUpStubGuidWriter {
public:
    CTrueUpStubGuidWriter(std::string jobResultsFolder, uint32_t backupSetId);

    static std::string FolderOf(const std::string& jobResultsFolder);
    const std::string& GetPath() const { return m_path; }

    CKoError Write(const std::string& guid, const std::string& path);
    CKoError Close();
    uint64_t GetLineCount() const;

private:
    std::string m_path;
    mutable std::mutex m_mutex;
    std::unique_ptr<FXWritableFile> m_file;
    uint64_t m_lines = 0;
};

using CTrueUpStubGuidWriterPtr = std::shared_ptr<CTrueUpStubGuidWriter>;
