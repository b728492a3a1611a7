#include "scan/Unix/FilterSingleInstanceDatabaseFiles.h"

#include <vector>

#include "agent/FilterTerm.h"
#include "agent/PlatformServices.h"
#include "core/LogWriter.h"

CKoError CFilterSingleInstanceDatabaseFiles::Process() {
    std::string client = GetClientName();
    if (client.empty()) client = ZYPI_Focus::getFocusClientName(true);
    if (client.empty()) {
        ZYLOG(1, "Focus client name is empty.");
        return CKoError::Success();
    }
    std::string root;
    if (ZYSIDBClient::getCLDBRootFolder(client, root).IsError() || root.empty()) {
        ZYLOG(1, "Could not get CLDB root folder name; cannot exclude CLDB root folder from this backup");
    } else {
        CKoError e = AddFolderFilter(CFilterTerm::EscapeLiteral(root));
        if (e.IsError()) return e.Push(ZY_HERE);
    }
    std::vector<std::string> folders;
    if (ZYSIDBClient::getSIDBFolders(folders).IsError()) {
        ZYLOG(1, "Could not get SIDB folders; cannot exclude SIDB folders from this backup");
        return CKoError::Success();
    }
    for (const std::string& folder : folders) {
        CKoError e = AddFolderFilter(CFilterTerm::EscapeLiteral(folder));
        if (e.IsError()) return e.Push(ZY_HERE);
    }
    return CKoError::Success();
}
