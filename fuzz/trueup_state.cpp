// The TrueUp job state reader, and a save over what it read.
#include <cstddef>
#include <cstdint>

#include "FuzzTempDir.h"
#include "scan/jobstate/TrueUpStateManager.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzzsupport::ConfinedEnv env;
    FXScopedEnv scoped(&env);
    const std::string path = fuzzsupport::TempDir() + "/TrueUpState.xml";
    fuzzsupport::WriteFile(path, data, size);
    TrueUpStateManager state;
    if (state.LoadStateFromDoc(path).IsSuccess()) {
        state.jobId += 1;
        state.SaveStatetoDoc(path).IgnoreError();
        state.LoadStateFromDoc(path).IgnoreError();
    }
    return 0;
}
