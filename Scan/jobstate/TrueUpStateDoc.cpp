#include "scan/jobstate/TrueUpStateDoc.h"

#include "core/Env.h"
#include "scan/jobstate/JobFiles.h"

CKoError XTrueUpStateDoc::Load(const std::string& path) {
    CKoError e = CJobFiles::LoadDocument(*this, path, kMaxFileBytes, "TrueUp job state");
    if (e.IsSuccess()) {
        CKoXNodePtr root = GetRootNode();
        if (!root || root->GetName() != XJobInfo::kElementName)
            e = FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "Not a TrueUp job state, RootElement=[%s]",
                                        root ? root->GetName().c_str() : "");
    }
    if (e.IsError()) {
        Clear();
        if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_INVALID_DATA))
            e.Push(ZY_HERE, "The TrueUp job state is damaged, FileName=[%s]", path.c_str());
        return e;
    }
    return CKoError::Success();
}

CKoError XTrueUpStateDoc::Save(const std::string& path) const {
    return CJobFiles::SaveDocument(*this, path, "TrueUp job state");
}

XJobInfo XTrueUpStateDoc::Get_JobInfo() const {
    CKoXNodePtr root = GetRootNode();
    if (!root || !root->Exists() || root->GetName() != XJobInfo::kElementName) return XJobInfo();
    return XJobInfo(root);
}

CKoError XTrueUpStateDoc::Add_JobInfo(XJobInfo& jobInfo) {
    CKoXNodePtr node;
    CKoError e = AppendNode(XJobInfo::kElementName, node);
    if (e.IsError()) return e.Push(ZY_HERE);
    jobInfo = XJobInfo(node);
    return CKoError::Success();
}
