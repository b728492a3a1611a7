#include "scan/jobstate/TrueUpStateManager.h"

#include "core/LogWriter.h"

CKoError TrueUpStateManager::SaveStatetoDoc(const std::string& path) {
    XJobInfo info;
    CKoError e = Load(path);
    if (e.IsSuccess()) info = Get_JobInfo();
    if (!info.Exists()) {
        Clear();
        e = Add_JobInfo(info);
    } else {
        e = CKoError::Success();
    }
    const CKoXNodePtr& node = info.GetNode();
    if (e.IsSuccess()) e = node->SetAttributeLONGLONG("JobId", jobId);
    if (e.IsSuccess()) e = node->SetAttributeLONGLONG("LastSuccessFullJobID", lastSuccessFullJobId);
    if (e.IsSuccess()) e = node->SetAttributeINT("JobType", jobType);
    if (e.IsSuccess()) e = node->SetAttributeULONGLONG("JobRefTime", jobRefTime);
    if (e.IsSuccess()) e = node->SetAttributeBOOL("TrueUpDCReadyForScan", trueUpDCReadyForScan);
    if (e.IsSuccess()) e = node->SetAttributeBOOL("QueryIndex", queryIndex);
    if (e.IsSuccess()) e = node->SetAttributeBOOL("LaptopBackup", laptopBackup);
    if (e.IsSuccess()) e = Save(path);
    if (e.IsError()) ZYLOG_ERROR("Failed to save the TrueUp job state information, error=%s", e.AsString().c_str());
    return CKoError::Success();
}

CKoError TrueUpStateManager::LoadStateFromDoc(const std::string& path) {
    CKoError e = Load(path);
    if (e.IsError()) return e.Push(ZY_HERE);
    XJobInfo info = Get_JobInfo();
    const CKoXNodePtr& node = info.GetNode();
    jobId = node->AttributeAsLONGLONG("JobId");
    lastSuccessFullJobId = node->AttributeAsLONGLONG("LastSuccessFullJobID");
    jobType = node->AttributeAsINT("JobType");
    jobRefTime = node->AttributeAsULONGLONG("JobRefTime");
    trueUpDCReadyForScan = node->AttributeAsBOOL("TrueUpDCReadyForScan");
    queryIndex = node->AttributeAsBOOL("QueryIndex");
    laptopBackup = node->AttributeAsBOOL("LaptopBackup");
    return CKoError::Success();
}
