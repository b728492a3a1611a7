#include "scan/Unix/FilterOrreryFolders.h"

#include <vector>

#include "agent/FileSystemAgent.h"
#include "agent/FilterTerm.h"
#include "core/LogWriter.h"
#include "core/Path.h"
#include "scan/Unix/OrreryFolderAllInstancesEnumerator.h"

namespace {

std::string Literal(const std::string& path) { return CFilterTerm::EscapeLiteral(path); }

}  // namespace

CKoError CFilterOrreryFolders::Process() {
    ZYFileSystemAgent agent;
    if (agent.setFocus(m_instanceName).IsError())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_FUNCTION_FAILED, "setFocus failed, Instance=%s",
                                       m_instanceName.c_str());
    std::optional<std::string> home = agent.getBaseHomeDirectory();
    if (!home)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "getBaseHomeDirectory returned NULL string");
    CKoError e;
    auto add = [&](bool exception, const std::string& path, const char* message) {
        if (e.IsError()) return;
        if (message) ZYLOG(1, message, path.c_str());
        e = exception ? AddFolderFilterException(Literal(path)) : AddFolderFilter(Literal(path));
    };
    if (!home->empty()) {
        std::string folder = *home;
        FXPath::RemoveTrailingDelimiter(folder);
        std::string real;
        if (FXPath::MakeRealPath(folder, real).IsSuccess()) folder = real;
        add(false, FXPath::Join(folder, "certificates"), "Filtering Certificates folder [%s]");
    }
    if (std::optional<std::string> jobControl = agent.getJobControlDirectory())
        add(false, *jobControl, "Filtering Job Control folder [%s]");
    ZYLOG(1, "Filtering Tollund temp folder [/orrerytmp");
    add(false, "/orrerytmp", nullptr);

    COrreryFolderAllInstancesEnumerator all;
    std::vector<std::string> logs;
    all.EnumerateLogFolders(logs);
    for (const std::string& log : logs) {
        if (m_laptopBackup)
            add(false, log, "Laptop: filtering Orrery log directory [%s]");
        else
            add(true, log, "Non-laptop: not filtering Orrery log directory [%s]");
    }
    if (agent.getEnableOrreryDirFiltering() || m_laptopBackup) {
        ZYLOG(1, "Orrery directory filtering enabled");
        std::vector<std::string> homes, jobResults, indexCaches;
        all.EnumerateHomeFolders(homes);
        all.EnumerateJRFolders(jobResults);
        all.EnumerateIdxCacheFolders(indexCaches);
        for (const std::string& f : indexCaches) add(false, f, "Filtering Orrery index cache directory [%s]");
        for (const std::string& f : jobResults) add(false, f, "Filtering Orrery job results directory [%s]");
        for (const std::string& f : homes) add(false, f, "Filtering Orrery directory [%s]");
    } else if (!m_jobResultsFolder.empty()) {
        // Without a job-results folder these would be bare names, taken back at any depth.
        const std::string jr = Literal(m_jobResultsFolder);
        if (e.IsSuccess())
            e = AddWildcardFilterException(FXPath::Join(jr, m_backupLevel == 1 ? "NumColTot*.tmp" : "NumColInc*.tmp"));
        if (e.IsSuccess()) e = AddFileFilterException(FXPath::Join(jr, "cjfile.tmp"));
        if (e.IsSuccess()) e = AddFileFilterException(FXPath::Join(jr, "Failures.zyf"));
    }
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}
