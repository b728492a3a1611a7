#include "agent/PlatformServices.h"

#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "core/PlatformInfo.h"

namespace {
constexpr const char* kSection = "Agent";

// -1: not decided yet (read the environment), 0 or 1: decided.
std::atomic<int> g_isService{-1};
}  // namespace

bool ZYPI_Focus::AmIAService() {
    int v = g_isService.load();
    if (v < 0) {
        const char* env = std::getenv("SCAN_AS_SERVICE");
        v = (env && std::strcmp(env, "1") == 0) ? 1 : 0;
        g_isService.store(v);
    }
    return v == 1;
}

void ZYPI_Focus::SetIsService(bool isService) { g_isService.store(isService ? 1 : 0); }

std::string ZYPI_Focus::getFocusClientName(bool /*local*/) {
    std::string name;
    if (ZYPlatformInfo::getString(kSection, "ClientName", name).IsSuccess() && !name.empty()) return name;
    char host[HOST_NAME_MAX + 1] = {};
    if (::gethostname(host, sizeof host - 1) != 0) return "localhost";
    return host;
}

CKoError ZYPI_CommClient::getJobResultsDirectory(const std::string& clientName, std::string& out) {
    CKoError e = ZYPlatformInfo::getString(kSection, "JobResultsDir", out);
    if (e.IsError()) return e.Push(ZY_HERE, "No job-results folder known, ClientName=[%s]", clientName.c_str());
    return CKoError::Success();
}
