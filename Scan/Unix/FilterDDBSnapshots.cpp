#include "scan/Unix/FilterDDBSnapshots.h"

#include <vector>

#include "agent/FilterTerm.h"
#include "agent/PlatformServices.h"
#include "core/LogWriter.h"
#include "core/Path.h"

CKoError CFilterDDBSnapshots::Process() {
    std::vector<std::string> instances, clients;
    ZYPI_PlatformInfo::GetAllInInstances(instances).IgnoreError();
    for (const std::string& instance : instances) {
        ZYPI_PlatformInfo::getActiveClientList(instance, clients).IgnoreError();
        for (const std::string& client : clients) {
            std::string folder;
            if (ZYPI_CommClient::getJobResultsDirectory(client, folder).IsError() || folder.empty()) {
                ZYLOG_ERROR("Could not get JobResultsDirectory for [%s]", client.c_str());
                return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_FUNCTION_FAILED,
                                               "Failed to get JobResultsDirectory for [%s]", client.c_str());
            }
            std::string real;
            if (FXPath::MakeRealPath(folder, real).IsSuccess()) folder = real;
            std::string filter = CFilterTerm::EscapeLiteral(folder);
            for (const char* component : {"*", "*", "DDB_SNAPSHOTS", "**"}) FXPath::Append(filter, component).IgnoreError();
            ZYLOG(1, "Filtering DDB Snapshot Real Path [%s]", filter.c_str());
            CKoError e = AddFolderFilter(filter);
            if (e.IsError()) return e.Push(ZY_HERE);
        }
    }
    return CKoError::Success();
}
