// Hadoop: the agent's Hadoop access library, loaded at run time, reads and writes one ACL and
// attribute blob per item; it travels as one record of type 17.
#include <cerrno>
#include <cstring>

#include "core/LogWriter.h"
#include "core/PlatformInfo.h"
#include "core/Process.h"
#include "core/StringUtil.h"
#include "scan/Unix/ZyFsACL.h"

namespace ZyACL {

namespace {
constexpr size_t kMaxBlob = 64u << 20;

std::string DefaultLibrary() {
    std::string name;
    if (ZYPlatformInfo::getString("FileSystemAgent", "HadoopAccessLibrary", name).IsError() || name.empty())
        name = "libZyHdfsAccess.so";
    return name;
}
}  // namespace

HadoopHelper::HadoopHelper() : HadoopHelper(DefaultLibrary()) {}

HadoopHelper::HadoopHelper(const std::string& library) {
    CKoError e = m_library.Load(library);
    if (e.IsSuccess()) e = m_library.GetFunction("GetACLandXattr", m_get);
    if (e.IsSuccess()) e = m_library.GetFunction("SetACLandXattr", m_set);
    if (e.IsError()) {
        m_get = nullptr;
        m_set = nullptr;
        m_loadError = e.GetMessage();
        ZYLOG(1, "%s: Hadoop acl and xattr will not be backed up or restore. Error(%s)", library.c_str(),
              m_loadError.c_str());
    }
}

HadoopHelper::~HadoopHelper() = default;

int HadoopHelper::get(const char* path, bool, struct stat*) {
    clearRecords();
    if (!m_get) {
        ZYLOG(1, "Hadoop acl/xattr will not be backed up. Error(%s). %p", m_loadError.c_str(),
              reinterpret_cast<void*>(m_get));
        return 0;
    }
    if (m_blob.empty()) m_blob.resize(4096);
    unsigned size = static_cast<unsigned>(m_blob.size());
    int rc;
    while ((rc = m_get(path, m_blob.data(), &size)) == ERANGE && size > m_blob.size() && size <= kMaxBlob) {
        m_blob.resize(size);
    }
    if (rc != 0) return failf(rc, "Failed to get Hadoop ACL and xattr of %s: %s", path, std::strerror(rc));
    if (size > m_blob.size()) return failf(EINVAL, "Hadoop access library answered %u bytes for %s", size, path);
    if (size) addRecord(RECORD_HADOOP, 0, 1, size).setData(m_blob.data(), size);
    return 0;
}

int HadoopHelper::set(const char* path, bool) {
    clearError();
    if (!m_set) {
        ZYLOG(1, "Hadoop acl/xattr will not be restored. Error(%s). %p", m_loadError.c_str(),
              reinterpret_cast<void*>(m_set));
        return 0;
    }
    for (size_t i = 0; i < m_listUsed; ++i) {
        const Info& r = m_list[i];
        if (r.type() != RECORD_HADOOP) return failf(EINVAL, "Unsupported ACL type (%d).", r.type());
        const int rc = m_set(path, reinterpret_cast<const char*>(r.data()), static_cast<unsigned>(r.payloadSize()));
        if (rc != 0) return failf(rc, "Failed to set Hadoop ACL and xattr of %s: %s", path, std::strerror(rc));
    }
    return 0;
}

bool HadoopHelper::isXATTRSupported(const char*) {
    const char* command = "hdfs getconf -confkey dfs.namenode.xattrs.enabled";
    std::string out, err;
    int exitCode = 0;
    CKoError e = ZyProcess::system(command, out, err, exitCode, 60000);
    if (e.IsError() || exitCode != 0) {
        ZYLOG_ERROR("Failed to execute command '%s', error=%d, xattr backup will be disabled", command,
                    e.IsError() ? static_cast<int>(e.GetErrorCode()) : exitCode);
        return false;
    }
    FXString::TrimWhiteSpace(out);
    const bool enabled = out == "true";
    ZYLOG(3, "xattr is %s enabled. dfs.namenode.xattrs.enabled is set to %s", enabled ? "" : "not", out.c_str());
    return enabled;
}

bool HadoopHelper::DoesBackupHaveACL() { return m_listUsed > 0; }

int HadoopHelper::convertOld2New(const char* buffer, size_t size, uint64_t) {
    // Older Hadoop backups carried the blob alone.
    clearRecords();
    if (size > 0xFFFFFFFFu) return failf(EINVAL, "Hadoop ACL blob of %zu bytes is too large", size);
    if (size) addRecord(RECORD_HADOOP, 0, 1, static_cast<uint32_t>(size)).setData(buffer, size);
    return 0;
}

}  // namespace ZyACL
