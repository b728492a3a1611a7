#include "scan/jobstate/StateDoc.h"

#include <set>

#include "core/Env.h"
#include "scan/jobstate/JobFiles.h"

namespace {

CKoError Damaged(const FXCodeLocation& here, const std::string& what) {
    return FXErrorUtil::ErrorWin32(here, ZyWin32::ERROR_INVALID_DATA, "%s", what.c_str());
}

// Every JobRef of a list has a numeric JobId and JobType; ids come once per list.
CKoError ValidateRefs(const CKoXNodePtr& list, const char* listName) {
    if (!list || !list->Exists()) return CKoError::Success();
    std::set<long long> ids;
    std::vector<CKoXNodePtr> refs;
    CKoError e = list->SelectNodes(XJobRef::kElementName, refs);
    if (e.IsError()) return e.Push(ZY_HERE);
    for (const CKoXNodePtr& ref : refs) {
        long long id = 0;
        int type = 0;
        if (ref->GetAttributeAsLONGLONG("JobId", id).IsError() || ref->GetAttributeAsINT("JobType", type).IsError())
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA,
                                           "A JobRef of %s has no valid JobId or JobType", listName);
        if (!ids.insert(id).second)
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "Job [%lld] is listed twice in %s", id,
                                           listName);
    }
    return CKoError::Success();
}

}  // namespace

CKoError XStateDoc::Load(const std::string& path) {
    CKoError e = CJobFiles::LoadDocument(*this, path, kMaxFileBytes, "job-state document");
    if (e.IsSuccess()) e = Validate();
    if (e.IsError()) {
        Clear();
        if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_INVALID_DATA))
            e.Push(ZY_HERE, "The job-state document is damaged, FileName=[%s]", path.c_str());
        return e;
    }
    return CKoError::Success();
}

CKoError XStateDoc::Save(const std::string& path) const {
    return CJobFiles::SaveDocument(*this, path, "job-state document");
}

CKoError XStateDoc::Validate() const {
    CKoXNodePtr root = GetRootNode();
    if (!root || !root->Exists()) return CKoError::Success();
    if (root->GetName() != kRootName)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA,
                                       "Not a job-state document, RootElement=[%s]", root->GetName().c_str());
    std::set<long long> ids;
    for (XJobPtr job = Get_Jobs()->Get_Job(); job->Exists(); job->Next()) {
        int64_t id = 0;
        if (job->Get_JobId(id).IsError()) return Damaged(ZY_HERE, "A Job has no valid JobId");
        if (!ids.insert(id).second) return Damaged(ZY_HERE, "Job [" + std::to_string(id) + "] is recorded twice");
        XStateManagerInfoPtr info = job->Get_StateManagerInfo();
        int type = 0;
        if (info->Exists() && info->GetNode()->HasAttribute("JobType") &&
            info->GetNode()->GetAttributeAsINT("JobType", type).IsError())
            return Damaged(ZY_HERE, "The StateManagerInfo of job [" + std::to_string(id) + "] has no valid JobType");
    }
    CKoError e = ValidateRefs(TopLevel(XPendingJobs::kElementName), XPendingJobs::kElementName);
    if (e.IsSuccess()) e = ValidateRefs(TopLevel(XLastSuccessfulJobs::kElementName), XLastSuccessfulJobs::kElementName);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoXNodePtr XStateDoc::TopLevel(const char* name) const {
    CKoXNodePtr root = GetRootNode();
    if (!root || !root->Exists()) return nullptr;
    CKoXNodePtr node = root->GetNode(name);
    if (!node || !node->Exists()) return nullptr;
    return node;
}

CKoError XStateDoc::AddTopLevel(const char* name, CKoXNodePtr& node) {
    CKoXNodePtr root = GetRootNode();
    CKoError e;
    if (!root || !root->Exists()) e = AppendNode(kRootName, root);
    if (e.IsSuccess()) e = root->AppendNode(name, node);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot add element, Name=[%s]", name);
    return CKoError::Success();
}

XJobsPtr XStateDoc::Get_Jobs() const { return std::make_shared<XJobs>(TopLevel(XJobs::kElementName)); }


XPendingJobsPtr XStateDoc::Get_PendingJobs() const {
    return std::make_shared<XPendingJobs>(TopLevel(XPendingJobs::kElementName));
}


XLastSuccessfulJobsPtr XStateDoc::Get_LastSuccessfulJobs() const {
    return std::make_shared<XLastSuccessfulJobs>(TopLevel(XLastSuccessfulJobs::kElementName));
}

