#include "scan/Unix/FilterFilesNotToBackup.h"

#include <vector>

#include "agent/FilterTerm.h"
#include "agent/PlatformServices.h"
#include "core/LogWriter.h"
#include "core/Path.h"
#include "core/PlatformInfo.h"
#include "core/Process.h"

CKoError CFilterFilesNotToBackup::Process() {
    for (const char* folder : {"/proc", "/sys", "/dev/shm", "/selinux", "/cgroup"}) {
        CKoError e = AddFolderFilter(folder);
        if (e.IsError()) return e.Push(ZY_HERE);
    }
    std::string value;
    if (ZYPlatformInfo::getString("FileSystemAgent", "FilesNotToBackup", value).IsSuccess() && !value.empty()) {
        ZYLOG(1, "Registry key 'FilesNotToBackup' set with value - [%s]", value.c_str());
        std::vector<std::string> items;
        FXString::Split(value, ",", items);
        for (std::string& item : items) {
            // The operator's own strings: taken as given, only without the trailing "/".
            while (item.size() > 1 && item.back() == '/') item.pop_back();
            ZYLOG(2, "Adding folder filter - %s", item.c_str());
            CKoError e = AddFolderFilter(item);
            if (e.IsError()) ZYLOG_ERROR("AddFolderFilter failed, error=%s", e.AsString().c_str());
        }
    }
    if (m_filterSnapshotMounts) {
        const struct {
            const char* name;
            const char* message;
        } mounts[] = {{"SnapVolumeMounts", "Filtering snap mount directory [%s]"},
                      {"UnifoldSnap", "Filtering Unifold snap directory [%s]"}};
        for (const auto& m : mounts) {
            std::string mount;
            if (!ZYProductionMounts::getMount(m.name, mount)) continue;
            ZYLOG(1, m.message, mount.c_str());
            CKoError e = AddFolderFilter(CFilterTerm::EscapeLiteral(mount));
            if (e.IsError()) return e.Push(ZY_HERE);
        }
    }
    return CKoError::Success();
}

CKoError CFilterFilesNotToBackup::FilterSolarisLocalZones() {
    static const char* const kZoneAdm = "/usr/sbin/zoneadm";
    if (!FXPath::DoesPathExist(kZoneAdm)) return CKoError::Success();
    std::string out, err;
    int exitCode = 0;
    CKoError e = ZyProcess::system(std::string(kZoneAdm) + " list -cp", out, err, exitCode);
    if (e.IsError() || exitCode != 0) {
        ZYLOG_ERROR("Error while executing zoneadm on client");
        return e.IsError() ? e.Push(ZY_HERE)
                           : FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_FUNCTION_FAILED,
                                                     "Error while executing zoneadm on client");
    }
    std::vector<std::string> lines, fields;
    FXString::Split(out, "\n", lines);
    for (const std::string& line : lines) {
        if (line.empty()) continue;
        FXString::Split(line, ":", fields);
        if (fields.size() < 4) {
            ZYLOG_ERROR("Output format not correct");
            continue;
        }
        if (fields[1] == "global") continue;
        ZYLOG(1, "Adding filter = [ %s ] for LocalZone : [ %s ]", fields[3].c_str(), fields[1].c_str());
        e = AddFolderFilter(CFilterTerm::EscapeLiteral(fields[3]));
        if (e.IsError())
            ZYLOG_ERROR("AddFolderFilter failed, Item=%s, error=%s", fields[3].c_str(), e.AsString().c_str());
    }
    return CKoError::Success();
}
