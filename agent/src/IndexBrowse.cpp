#include "agent/IndexBrowse.h"

#include "core/KoXml.h"

std::string databrowse::BrowseRequest::AsXml() const {
    CKoXDocument document;
    CKoXNodePtr root;
    std::string xml;
    // Texts that XML cannot carry are left out rather than failing the request's description.
    if (document.AppendNode("databrowse_BrowseRequest", root).IsError()) return xml;
    root->SetAttributeString("path", path).IgnoreError();
    root->SetAttributeString("filter", filter).IgnoreError();
    root->SetAttributeString("operation", operationName).IgnoreError();
    root->SetAttributeULONGLONG("clientId", clientId).IgnoreError();
    root->SetAttributeULONGLONG("subclientId", subclientId).IgnoreError();
    root->SetAttributeINT("appType", appType).IgnoreError();
    root->SetAttributeULONGLONG("backupSetId", backupSetId).IgnoreError();
    root->SetAttributeULONGLONG("fromTime", fromTime).IgnoreError();
    root->SetAttributeULONGLONG("toTime", toTime).IgnoreError();
    root->SetAttributeString("clientName", clientName).IgnoreError();
    root->SetAttributeString("subclientName", subclientName).IgnoreError();
    root->SetAttributeINT("copyPrecedence", copyPrecedence).IgnoreError();
    root->SetAttributeBOOL("includeRunningJobs", includeRunningJobs).IgnoreError();
    if (!archiveFile.empty()) root->SetAttributeString("archiveFile", archiveFile).IgnoreError();
    document.SaveAsString(xml, CKoXDocument::FORMAT_NO_DECLARATION | CKoXDocument::FORMAT_COMPACT).IgnoreError();
    return xml;
}

bool databrowse::BrowseItemKey(const std::string& input, std::string& parentKey, std::string& name) {
    size_t end = input.size();
    while (end > 1 && input[end - 1] == '/') --end;
    const std::string_view path(input.data(), end);
    if (path.empty() || path[0] != '/' || path.find('\0') != std::string_view::npos ||
        path.find("//") != std::string_view::npos)
        return false;
    if (path == "/") {
        parentKey.clear();
        name = "/";
        return true;
    }
    const size_t slash = path.rfind('/');
    parentKey.assign(path.substr(0, slash + 1));
    name.assign(path.substr(slash + 1));
    return true;
}
