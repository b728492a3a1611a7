// The common part of the job-state document's typed wrappers (XJobs, XJob, XJobRef, ...): a
// shared pointer to one element, which may be missing (Exists() false), and the helpers the
// wrappers are made of.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/KoError.h"
#include "core/KoXml.h"

class XStateNode {
public:
    XStateNode() = default;
    explicit XStateNode(CKoXNodePtr node) : m_node(std::move(node)) {}

    bool Exists() const { return m_node && m_node->Exists(); }
    const CKoXNodePtr& GetNode() const { return m_node; }

protected:
    // To the next sibling with the same name; false (and Exists() false) past the last one.
    bool MoveNext() { return m_node && m_node->MoveNext(); }
    // The first child element named `name`; null when there is none.
    CKoXNodePtr Child(const char* name) const;
    CKoError AppendChild(const char* name, CKoXNodePtr& child);
    // Appends a child element named as the wrapper T names its elements.
    template <class T>
    CKoError AppendTyped(std::shared_ptr<T>& wrapper) {
        CKoXNodePtr node;
        CKoError e = AppendChild(T::kElementName, node);
        if (e.IsError()) return e;
        wrapper = std::make_shared<T>(std::move(node));
        return CKoError::Success();
    }
    CKoError RemoveChild(const XStateNode& child, const char* what);

    // Attribute access on a node that may be missing: the value forms read 0, the setters fail.
    long long Int64(const char* name) const { return Exists() ? m_node->AttributeAsLONGLONG(name) : 0; }
    int Int(const char* name) const { return Exists() ? m_node->AttributeAsINT(name) : 0; }
    std::string String(const char* name) const { return Exists() ? m_node->AttributeAsString(name) : std::string(); }
    CKoError GetInt64(const char* name, int64_t& value) const;
    CKoError SetInt64(const char* name, long long value);
    CKoError SetInt(const char* name, int value);
    CKoError SetString(const char* name, const std::string& value);

    CKoXNodePtr m_node;
};
