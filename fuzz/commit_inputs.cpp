// What a commit reads: the restart map, the restart string and the commit collect file. The input
// is split at the first NUL byte into a restart map and the rest; the rest is the restart string
// and, line by line, a commit collect file.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "FuzzTempDir.h"
#include "scan/jobstate/ScanCommitJobs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzzsupport::ConfinedEnv env;
    FXScopedEnv scoped(&env);
    const std::string& dir = fuzzsupport::TempDir();
    const uint8_t* nul = static_cast<const uint8_t*>(std::memchr(data, 0, size));
    const size_t mapSize = nul ? static_cast<size_t>(nul - data) : size;
    const uint8_t* rest = nul ? nul + 1 : data + size;
    const size_t restSize = static_cast<size_t>(data + size - rest);
    fuzzsupport::WriteFile(dir + "/restartMapInc", data, mapSize);
    fuzzsupport::WriteFile(dir + "/Commit_J7_Collect.zyf", rest, restSize);

    ScanCommitJobs commit("fuzz", 8, 1, 0, 7, 2, dir, EDirChangeMethod::DIRCHANGE_METHOD_FILE, dir + "/DCInc.zyf",
                          false);
    commit.FindOffsetDataFromRestartMapFile().IgnoreError();
    commit.ParseRestartString(std::string(reinterpret_cast<const char*>(rest), restSize)).IgnoreError();
    UncommittedCallback each = [&](const std::string& line) {
        std::string copy = line;
        ScanCommitJobs::ConvertFileExtentEntryToRegularCollectEntry(copy);
        return CKoError::Success();
    };
    commit.ProcessUncommittedItems(&each).IgnoreError();
    return 0;
}
