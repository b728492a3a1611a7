#include "scan/dirchange/XDirChange.h"

namespace {

CKoError NoElement(const FXCodeLocation& location) {
    return FXErrorUtil::ErrorWin32(location, ZyWin32::ERROR_INVALID_HANDLE, "No DirChange element");
}

}  // namespace

CKoError XDirChange::Create(XDirChange& dirChange) {
    CKoXDocument document;
    CKoXNodePtr node;
    CKoError error = document.AppendNode(kElementName, node);
    if (error.IsError()) return error.Push(ZY_HERE, "Cannot create the DirChange element");
    dirChange = XDirChange(std::move(node));
    return CKoError::Success();
}

std::string XDirChange::Attribute(const char* name) const {
    return m_node ? m_node->AttributeAsString(name) : std::string();
}

CKoError XDirChange::SetAttribute(const char* name, const std::string& value) {
    if (!m_node) return NoElement(ZY_HERE);
    CKoError error = m_node->SetAttributeString(name, value);
    if (error.IsError()) return error.Push(ZY_HERE, "Attribute=[%s], Value=[%s]", name, value.c_str());
    return CKoError::Success();
}

CKoError XDirChange::Remove_TempFileName() {
    if (!m_node) return NoElement(ZY_HERE);
    CKoError error = m_node->RemoveAttribute("TempFileName");
    if (error.IsError()) return error.Push(ZY_HERE);
    return CKoError::Success();
}
