#include "scan/trueup/TrueUpContentContainerFormatter.h"

#include "core/KoXml.h"
#include "scan/trueup/TrueUpDirChangeItemDataImpl.h"

CKoError CTrueUpContentContainerFormatter::CreateParentMetadata(const CTrueUpDirChangeItemPtr& item,
                                                                std::string& metadata) {
    return CreateMetadata(item, metadata);
}

CKoError CTrueUpContentContainerFormatter::CreateMetadata(const CTrueUpDirChangeItemPtr& item, std::string& metadata) {
    if (!item)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "No item to describe");
    CKoError e = CTrueUpDirChangeItemDataImpl::AsXml(item->GetData(), metadata, item->IsFolder());
    if (e.IsError()) return e.Push(ZY_HERE, "File=[%s]", item->GetFileName().c_str());
    return CKoError::Success();
}

namespace {

// `parent` is held by value: the caller may pass the pointer that receives the child.
CKoError FindOrAppend(CKoXNodePtr parent, const char* name, CKoXNodePtr& child) {
    CKoXNodePtr found = parent->GetNode(name);
    if (found && found->Exists()) {
        child = std::move(found);
        return CKoError::Success();
    }
    return parent->AppendNode(name, child);
}

}  // namespace

CKoError CTrueUpContentContainerFormatter::UpdateMetadataStateCollect(const std::string& in, std::string& out) {
    CKoXDocument document;
    if (!in.empty()) {
        CKoError e = document.LoadFromString(in);
        if (e.IsError()) return e.Push(ZY_HERE, "LoadFromString failed, Metadata=[%s]", in.c_str());
    }
    CKoXNodePtr metadata = document.GetRootNode();
    CKoError e;
    if (!metadata || !metadata->Exists())
        e = document.AppendNode("Metadata", metadata);
    else if (metadata->GetName() != "Metadata")
        e = FindOrAppend(metadata, "Metadata", metadata);
    CKoXNodePtr state;
    if (e.IsSuccess()) e = FindOrAppend(metadata, "State", state);
    if (e.IsSuccess()) e = state->SetAttributeBOOL("Collect", true);
    if (e.IsSuccess()) e = state->SetAttributeBOOL("AddedLater", true);
    if (e.IsSuccess()) e = document.SaveAsString(out, CKoXDocument::FORMAT_NO_DECLARATION | CKoXDocument::FORMAT_COMPACT);
    if (e.IsError()) return e.Push(ZY_HERE, "Metadata=[%s]", in.c_str());
    return CKoError::Success();
}
