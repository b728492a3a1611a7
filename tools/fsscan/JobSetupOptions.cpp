#include "JobSetupOptions.h"

#include "agent/HubServe.h"
#include "agent/PlatformServices.h"
#include "agent/SubclientFile.h"
#include "core/Path.h"
#include "scan/Unix/SystemFilterEnumerator.h"
#include "scan/content/BuiltInFilterManager.h"

const std::vector<std::string>& CJobSetupOptions::Valued() {
    static const std::vector<std::string> valued{"--subclient", "--content", "--filter", "--exception"};
    return valued;
}

const std::vector<std::string>& CJobSetupOptions::Flags() {
    static const std::vector<std::string> flags{"--no-system-filters"};
    return flags;
}

const char* CJobSetupOptions::Usage() {
    return "  --subclient FILE      the job of a subclient file: its content, filters, exceptions and\n"
           "                        readers (see \"Subclient files\" in the README)\n"
           "  --content PATH        content of a quick job without a subclient file (repeatable)\n"
           "  --filter PATTERN      leave out what PATTERN matches: without \"/\" a name at any depth\n"
           "                        ('*.tmp'), with \"/\" a path and all below it (repeatable)\n"
           "  --exception PATTERN   take back what PATTERN matches below a filter (repeatable)\n"
           "  --no-system-filters   do not leave out the system paths (/proc, /sys, the agent's own\n"
           "                        folders, snapshot folders, ...)\n";
}

bool CJobSetupOptions::Check(const CCommandLine& cl, std::string& why) {
    if (cl.Has("--subclient") && cl.Has("--content")) {
        why = "--content and --subclient do not go together: the subclient file gives the content";
        return false;
    }
    if (cl.GetAll("--subclient").size() > 1) {
        why = "one --subclient at a time";
        return false;
    }
    if (!cl.Has("--subclient") && !cl.Has("--content")) {
        why = "give --content PATH or --subclient FILE";
        return false;
    }
    return true;
}

CKoError CJobSetupOptions::Load(const CCommandLine& cl, const std::string& resultsDir, bool fullLevel,
                                CSubclientJobSetup& setup) {
    CKoError e;
    if (cl.Has("--subclient")) {
        const std::string file = cl.Get("--subclient");
        // The file is the server's store: its id says which subclient the job is of. A wrong file
        // is an error even when the server is away (the local copy never stands in for it).
        ZYSubclientDefinition definition;
        e = ZYSubclientFile::Load(file, definition, false);
        if (e.IsError()) return e.Push(ZY_HERE);
        ZYHubServe::SetCurrent(ZYFileHubServe::ForFile(file));
        e = setup.LoadSubclient(ZYHubServe::HubCellId(), definition.id, std::string(), resultsDir);
        ZYHubServe::SetCurrent(nullptr);
        if (e.IsError()) return e.Push(ZY_HERE);
    } else {
        for (const std::string& content : cl.GetAll("--content")) setup.AddContent(content);
        e = setup.ChooseAutomaticReaders();
        if (e.IsError()) return e.Push(ZY_HERE);
    }
    for (const std::string& pattern : cl.GetAll("--filter")) {
        e = setup.AddQuickFilter(pattern);
        if (e.IsError()) return e.Push(ZY_HERE);
    }
    for (const std::string& pattern : cl.GetAll("--exception")) {
        e = setup.AddQuickException(pattern);
        if (e.IsError()) return e.Push(ZY_HERE);
    }
    if (cl.Has("--no-system-filters")) return CKoError::Success();

    std::vector<std::string> instances;
    ZYPI_PlatformInfo::GetAllInInstances(instances).IgnoreError();
    std::string results = resultsDir;
    if (FXPath::MakeRealPath(resultsDir, results).IsError()) results = resultsDir;
    CSystemFilterEnumerator system(instances.empty() ? std::string("Instance001") : instances.front(),
                                   ZYPI_Focus::getFocusClientName(true), fullLevel ? 1 : 2, results, 0, true, false,
                                   false, false);
    e = system.Process(std::make_shared<CBuiltInFilterManager>());
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot gather the system filters");
    system.AppendTo(setup.Filters());
    return CKoError::Success();
}
