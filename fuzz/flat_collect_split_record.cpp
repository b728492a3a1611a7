// The record of a collect-file split on arbitrary bytes, read the way a restarted job reads it:
// FlatCollectFileSplit::Recover over an environment that serves the record from memory and
// changes nothing on disk. Checked: a record that says the split is complete lists at least the
// collect file itself as its first part, and each part once.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "MemoryFile.h"
#include "core/Env.h"
#include "scan/collect/FlatCollectFileSplit.h"

namespace {

const std::string kCollect = "/jr/Collect1.zyf";

// Serves the record; every other file is missing, and changes succeed without doing anything.
class CRecordEnv : public FXEnvWrapper {
public:
    CRecordEnv(const uint8_t* data, size_t size) : FXEnvWrapper(FXEnv::Default()), m_data(data), m_size(size) {}
    CKoError NewSequentialFile(const std::string& path, std::unique_ptr<FXSequentialFile>& out,
                               const FXOpenOptions&) override {
        if (path != FlatCollectFileSplit::RecordPath(kCollect))
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_FILE_NOT_FOUND, "missing");
        out = std::make_unique<CFuzzMemoryFile>(m_data, m_size);
        return CKoError::Success();
    }
    CKoError Stat(const std::string&, FXFileStat&, bool) override {
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_FILE_NOT_FOUND, "missing");
    }
    CKoError RenameFile(const std::string&, const std::string&) override { return CKoError::Success(); }
    CKoError RemoveFile(const std::string&) override { return CKoError::Success(); }
    CKoError SyncDir(const std::string&) override { return CKoError::Success(); }

private:
    const uint8_t* m_data;
    size_t m_size;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CRecordEnv env(data, size);
    FXScopedEnv scoped(&env);
    FlatCollectFileSplit::SRecovery recovery;
    if (FlatCollectFileSplit::Recover(kCollect, recovery).IsError()) return 0;
    if (recovery.outcome == FlatCollectFileSplit::SPLIT) {
        if (recovery.parts.empty() || recovery.parts[0].path != kCollect) __builtin_trap();
        std::set<std::string> paths;
        for (const SplitFileInfo& p : recovery.parts)
            if (p.path.empty() || !paths.insert(p.path).second) __builtin_trap();
    } else if (recovery.outcome != FlatCollectFileSplit::NOT_SPLIT) {
        __builtin_trap();
    }
    return 0;
}
