#include "scan/jobstate/TrueUpStateDoc.h"

#include "core/Env.h"
#include "scan/jobstate/JobFiles.h"

CKoError XTrueUpStateDoc::Load(const std::string& path) {
    Clear();
    std::string text;
    CKoError e = CJobFiles::ReadWhole(path, text, kMaxFileBytes);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot read the TrueUp job state, FileName=[%s]", path.c_str());
    if (text.find_first_not_of(" \t\r\n") == std::string::npos)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_EMPTY, "The TrueUp job state is empty, FileName=[%s]",
                                       path.c_str());
    e = LoadFromString(text);
    if (e.IsSuccess()) {
        CKoXNodePtr root = GetRootNode();
        if (!root || root->GetName() != XJobInfo::kElementName)
            e = FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "Not a TrueUp job state, RootElement=[%s]",
                                        root ? root->GetName().c_str() : "");
    }
    if (e.IsError()) {
        Clear();
        return e.Push(ZY_HERE, "The TrueUp job state is damaged, FileName=[%s]", path.c_str());
    }
    return CKoError::Success();
}

CKoError XTrueUpStateDoc::Save(const std::string& path) const {
    std::string text;
    CKoError e = SaveAsString(text);
    if (e.IsSuccess()) e = FXDurableReplace::WriteWhole(path, text);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot save the TrueUp job state, FileName=[%s]", path.c_str());
    return CKoError::Success();
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
