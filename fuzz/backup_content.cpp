// The reader of "BackupContent.xml", the local copy of a subclient's content: any bytes are
// either refused with an error or read into a content list that writes back and reads again the
// same.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "agent/DaxMessages.h"
#include "core/Env.h"
#include "core/PlatformInfo.h"
#include "scan/content/SubclientContentAPI.h"

namespace {

void Check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "backup_content: %s\n", what);
    std::abort();
}

// A folder of this process, removed at exit (the name outlives static destruction).
const std::string& Folder() {
    static const std::string* folder = [] {
        const char* tmp = std::getenv("TMPDIR");
        auto* f = new std::string(std::string(tmp ? tmp : "/tmp") + "/fuzz-backup-content-" + std::to_string(getpid()));
        FXEnv::Current()->CreateDir(*f).IgnoreError();
        std::atexit([] {
            FXEnv::Current()->RemoveFile(Folder() + "/" + CSubclientContentAPI::kLocalCopyName).IgnoreError();
            FXEnv::Current()->RemoveDir(Folder()).IgnoreError();
        });
        return f;
    }();
    return *folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool once = [] {
        ZYPlatformInfo::SetSettingsFile("").IgnoreError();
        return true;
    }();
    (void)once;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string file = Folder() + "/" + CSubclientContentAPI::kLocalCopyName;
    Check(FXDurableReplace::WriteWhole(file, bytes).IsSuccess(), "cannot write the scratch file");

    CSubclientContentAPI api(Folder());
    std::string xml;
    if (api.GetContentFromFile(file, xml).IsError()) return 0;
    Dax::SubclientContentList first, second;
    Check(first.ParseFromString(xml).IsSuccess(), "a message read from the file does not parse");
    Check(api.DumpToFile(file, xml).IsSuccess(), "a message read from the file cannot be written");
    std::string again;
    Check(api.GetContentFromFile(file, again).IsSuccess(), "a written copy cannot be read");
    Check(second.ParseFromString(again).IsSuccess() && second == first, "the copy changed on the way");
    return 0;
}
