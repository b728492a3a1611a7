#include "agent/DaxMessages.h"

#include "agent/FileScanMessages.h"
#include "core/KoXml.h"

namespace {

constexpr const char* kRoot = "Message";
constexpr unsigned kSaveFlags = CKoXDocument::FORMAT_NO_DECLARATION | CKoXDocument::FORMAT_COMPACT;

CKoError Invalid(const FXCodeLocation& loc, const char* type, const char* what, const std::string& detail) {
    return FXErrorUtil::ErrorWin32(loc, ZyWin32::ERROR_INVALID_DATA, "Malformed %s message, %s=[%s]", type, what,
                                   detail.c_str());
}

CKoError NewMessage(CKoXDocument& doc, uint32_t id, const char* type, CKoXNodePtr& root) {
    CKoError e = doc.AppendNode(kRoot, root);
    if (e.IsSuccess()) e = root->SetAttributeUINT("id", id);
    if (e.IsSuccess()) e = root->SetAttributeString("type", type);
    return e;
}

// The root of a message document of this id and type.
CKoError OpenMessage(const std::string& text, uint32_t id, const char* type, CKoXDocument& doc, CKoXNodePtr& root) {
    CKoError e = doc.LoadFromString(text);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot read message [%s]", type);
    root = doc.GetRootNode();
    if (!root || !root->Exists() || root->GetName() != kRoot)
        return Invalid(ZY_HERE, type, "Root", root && root->Exists() ? root->GetName() : std::string());
    unsigned gotId = 0;
    if (root->GetAttributeAsUINT("id", gotId).IsError() || gotId != id)
        return Invalid(ZY_HERE, type, "MessageId", root->AttributeAsString("id"));
    if (root->AttributeAsString("type") != type) return Invalid(ZY_HERE, type, "MessageType", root->AttributeAsString("type"));
    return CKoError::Success();
}

}  // namespace

namespace Dax {

CKoError SubclientContentList::SerializeToString(std::string& out) const {
    CKoXDocument doc;
    CKoXNodePtr root;
    CKoError e = NewMessage(doc, kMessageId, kMessageType, root);
    const std::pair<const char*, const std::vector<std::string>*> lists[] = {
        {"content", &content}, {"filter", &filters}, {"exception", &exceptions}};
    for (const auto& [name, list] : lists) {
        for (size_t i = 0; e.IsSuccess() && i < list->size(); ++i) {
            CKoXNodePtr node;
            e = root->AppendNode(name, node);
            if (e.IsSuccess()) e = node->SetAttributeString("val", FileScan::EncodeMessageText((*list)[i]));
        }
    }
    if (e.IsSuccess()) e = doc.SaveAsString(out, kSaveFlags);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot build message [%s]", kMessageType);
    return CKoError::Success();
}

CKoError SubclientContentList::ParseFromString(const std::string& text) {
    CKoXDocument doc;
    CKoXNodePtr root;
    CKoError e = OpenMessage(text, kMessageId, kMessageType, doc, root);
    if (e.IsError()) return e;
    std::vector<CKoXNodePtr> nodes;
    e = root->SelectNodes("*", nodes);
    if (e.IsError()) return e.Push(ZY_HERE);
    SubclientContentList parsed;
    for (const CKoXNodePtr& node : nodes) {
        const std::string name = node->GetName();
        std::vector<std::string>* list = name == "content"     ? &parsed.content
                                         : name == "filter"    ? &parsed.filters
                                         : name == "exception" ? &parsed.exceptions
                                                               : nullptr;
        if (!list) return Invalid(ZY_HERE, kMessageType, "UnexpectedElement", name);
        std::string raw, value;
        if (node->GetAttributeAsString("val", raw).IsError())
            return Invalid(ZY_HERE, kMessageType, "MissingAttribute", name + "/@val");
        if (!FileScan::DecodeMessageText(raw, value)) return Invalid(ZY_HERE, kMessageType, "BadEscape", raw);
        list->push_back(std::move(value));
    }
    *this = std::move(parsed);
    return CKoError::Success();
}

}  // namespace Dax

CKoError App_GetModifiedFileListReq::SerializeToString(std::string& out) const {
    CKoXDocument doc;
    CKoXNodePtr root;
    CKoError e = NewMessage(doc, kMessageId, kMessageType, root);
    if (e.IsSuccess()) e = root->SetAttributeUINT("subclientId", subclientId);
    if (e.IsSuccess()) e = root->SetAttributeLONGLONG("queryTime", queryTime);
    if (e.IsSuccess()) e = doc.SaveAsString(out, kSaveFlags);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot build message [%s]", kMessageType);
    return CKoError::Success();
}

CKoError App_GetModifiedFileListReq::ParseFromString(const std::string& text) {
    CKoXDocument doc;
    CKoXNodePtr root;
    CKoError e = OpenMessage(text, kMessageId, kMessageType, doc, root);
    if (e.IsError()) return e;
    unsigned id = 0;
    long long time = 0;
    if (root->GetAttributeAsUINT("subclientId", id).IsError() || root->GetAttributeAsLONGLONG("queryTime", time).IsError())
        return Invalid(ZY_HERE, kMessageType, "Fields", text);
    subclientId = id;
    queryTime = time;
    return CKoError::Success();
}
