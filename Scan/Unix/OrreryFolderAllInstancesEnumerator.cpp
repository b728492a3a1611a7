#include "scan/Unix/OrreryFolderAllInstancesEnumerator.h"

#include <optional>

#include "agent/FileSystemAgent.h"
#include "agent/PlatformServices.h"
#include "core/LogWriter.h"

namespace {

// One folder per instance from the focused file-system agent.
template <class Get>
void PerInstance(const std::vector<std::string>& instances, const char* failure, Get get,
                 std::vector<std::string>& folders) {
    for (const std::string& instance : instances) {
        ZYFileSystemAgent agent;
        std::optional<std::string> folder;
        if (agent.setFocus(instance).IsSuccess()) folder = get(agent);
        if (!folder) {
            ZYLOG(1, failure, instance.c_str());
            continue;
        }
        folders.push_back(std::move(*folder));
    }
}

}  // namespace

COrreryFolderAllInstancesEnumerator::COrreryFolderAllInstancesEnumerator() {
    ZYPI_PlatformInfo::GetAllInInstances(m_instances).IgnoreError();
}

void COrreryFolderAllInstancesEnumerator::EnumerateHomeFolders(std::vector<std::string>& folders) const {
    PerInstance(m_instances, "Failed to get Orrery home directory for instance [%s].",
                [](const ZYFileSystemAgent& a) { return a.getOrreryDirectory(); }, folders);
}

void COrreryFolderAllInstancesEnumerator::EnumerateLogFolders(std::vector<std::string>& folders) const {
    PerInstance(m_instances, "Failed to get Orrery log file directory for instance [%s].",
                [](const ZYFileSystemAgent& a) { return a.getLogFileDirectory(); }, folders);
}

void COrreryFolderAllInstancesEnumerator::EnumerateIdxCacheFolders(std::vector<std::string>& folders) const {
    PerInstance(m_instances, "Failed to get Orrery index cache directory for instance [%s].",
                [](const ZYFileSystemAgent& a) { return a.getIndexCacheDirectory(); }, folders);
}

void COrreryFolderAllInstancesEnumerator::EnumerateJRFolders(std::vector<std::string>& folders) const {
    for (const std::string& instance : m_instances) {
        std::vector<std::string> clients;
        ZYPI_PlatformInfo::getActiveClientList(instance, clients).IgnoreError();
        for (const std::string& client : clients) {
            std::string folder;
            if (ZYPI_CommClient::getJobResultsDirectory(client, folder).IsError() || folder.empty()) {
                ZYLOG(1, "Failed to get Orrery job result directory for instance [%s].", instance.c_str());
                continue;
            }
            folders.push_back(std::move(folder));
        }
    }
}
