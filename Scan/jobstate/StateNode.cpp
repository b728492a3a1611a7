#include "scan/jobstate/StateNode.h"

namespace {

CKoError NoElement(const FXCodeLocation& here, const char* name) {
    return FXErrorUtil::ErrorWin32(here, ZyWin32::ERROR_INVALID_HANDLE, "No element to use, Attribute=[%s]", name);
}

}  // namespace

CKoXNodePtr XStateNode::Child(const char* name) const {
    if (!Exists()) return nullptr;
    CKoXNodePtr child = m_node->GetNode(name);
    if (!child || !child->Exists()) return nullptr;
    return child;
}

CKoError XStateNode::AppendChild(const char* name, CKoXNodePtr& child) {
    if (!Exists()) return NoElement(ZY_HERE, name);
    CKoError e = m_node->AppendNode(name, child);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot add element, Name=[%s]", name);
    return CKoError::Success();
}

CKoError XStateNode::RemoveChild(const XStateNode& child, const char* what) {
    if (!Exists() || !child.Exists()) return NoElement(ZY_HERE, what);
    CKoError e = m_node->RemoveNode(*child.GetNode());
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot remove element, Name=[%s]", what);
    return CKoError::Success();
}

CKoError XStateNode::GetInt64(const char* name, int64_t& value) const {
    value = 0;
    if (!Exists()) return NoElement(ZY_HERE, name);
    long long read = 0;
    CKoError e = m_node->GetAttributeAsLONGLONG(name, read);
    if (e.IsError()) return e.Push(ZY_HERE, "Attribute=[%s]", name);
    value = read;
    return CKoError::Success();
}

CKoError XStateNode::SetInt64(const char* name, long long value) {
    if (!Exists()) return NoElement(ZY_HERE, name);
    return m_node->SetAttributeLONGLONG(name, value);
}

CKoError XStateNode::SetInt(const char* name, int value) {
    if (!Exists()) return NoElement(ZY_HERE, name);
    return m_node->SetAttributeINT(name, value);
}

CKoError XStateNode::SetString(const char* name, const std::string& value) {
    if (!Exists()) return NoElement(ZY_HERE, name);
    return m_node->SetAttributeString(name, value);
}
