#include "scan/job/ItemMetadataRecorder.h"

#include <cerrno>
#include <cstring>

#include "agent/VolumeInfo.h"
#include "core/LogWriter.h"
#include "scan/Unix/ZyFsACL.h"
#include "scan/fsservices/FSMetaFileWriter.h"
#include "scan/job/BackupMetadataStore.h"

namespace {

int64_t Nanos(const struct timespec& t) { return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec; }

// Access times that cannot be put back (a file of another owner, a read-only file system) leave
// the file to be collected again next time; they are no reason to stop the backup.
bool IsItemTrouble(const CKoError& e) {
    if (!FXErrorUtil::IsFamily(e, EErrorFamily::ErrNo)) return false;
    const long code = e.GetErrorCode();
    return code == EPERM || code == EACCES || code == EROFS || code == ENOENT;
}

}  // namespace

CItemMetadataRecorder::CItemMetadataRecorder(CBackupMetadataStore* store, std::string resultsDir, std::string fsMetaName)
    : m_store(store), m_resultsDir(std::move(resultsDir)), m_fsMetaName(std::move(fsMetaName)) {
    if (m_store) m_helper = ZyACL::Helper::getInstance();
}

CItemMetadataRecorder::~CItemMetadataRecorder() { Close().IgnoreError(); }

CKoError CItemMetadataRecorder::OnFileRead(int fd, const struct stat& before) {
    if (m_fsMetaName.empty()) return CKoError::Success();
    auto it = m_writers.find(before.st_dev);
    if (it == m_writers.end()) {
        std::string guid;
        CKoError e = ZyVolumeInfo::GetObjectGuid("/proc/self/fd/" + std::to_string(fd), guid);
        auto writer = std::make_unique<CFSMetaFileWriter>();
        if (e.IsSuccess()) e = writer->Open(m_resultsDir, guid, m_fsMetaName);
        if (e.IsError()) return e.Push(ZY_HERE, "Cannot open the FSMeta file of this reader");
        it = m_writers.emplace(before.st_dev, std::move(writer)).first;
    }
    bool recorded = false;
    CKoError e = it->second->PreserveAccessTime(fd, before, &recorded);
    if (e.IsError() && IsItemTrouble(e)) {
        ZYLOG(2, "Access time not put back, error=%s", e.AsString().c_str());
        return CKoError::Success();
    }
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot record the change time of a file whose access time was put back");
    if (recorded) ++m_preserved;
    return CKoError::Success();
}

CKoError CItemMetadataRecorder::OnItemCopied(const std::string& source, int sourceParent, const std::string& leaf,
                                             const struct stat& st, bool& sourceError, std::string& reason) {
    if (!m_store) return CKoError::Success();
    SItemMetadata meta;
    m_helper->clearError();
    if (m_helper->getAt(sourceParent, leaf.c_str(), m_buffer, nullptr) != 0) {
        const int err = m_helper->lastErrno();
        if (err == ENOENT) return CKoError::Success();  // gone meanwhile: nothing to keep
        if (m_helper->isCritical()) {
            sourceError = true;
            reason = "cannot read its security metadata: " + m_helper->lastErrorText();
            return CKoError::Success();
        }
        // Not supported by the file system: the item has none.
        ZYLOG(3, "No security metadata, Path=[%s], error=[%s]", source.c_str(), m_helper->lastErrorText().c_str());
    }
    meta.security = m_buffer;
    meta.mode = st.st_mode;
    meta.uid = st.st_uid;
    meta.gid = st.st_gid;
    meta.atimeNs = Nanos(st.st_atim);
    meta.mtimeNs = Nanos(st.st_mtim);
    CKoError e = m_store->Put(source, meta);
    return e.IsError() ? e.Push(ZY_HERE) : e;
}

CKoError CItemMetadataRecorder::OnItemRemoved(const std::string& source) {
    if (!m_store) return CKoError::Success();
    CKoError e = m_store->RemoveTree(source);
    return e.IsError() ? e.Push(ZY_HERE) : e;
}

CKoError CItemMetadataRecorder::Close() {
    CKoError first;
    for (auto& [dev, writer] : m_writers) {
        CKoError e = writer->Close();
        if (e.IsError() && first.IsSuccess()) first = e.Push(ZY_HERE);
    }
    m_writers.clear();
    return first;
}
