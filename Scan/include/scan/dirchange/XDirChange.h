// The "DirChange" element of a job in the job-state document: where the DirChange file a job
// wrote lies and the name it must take once the job is known to be successful. The job clean-up
// renames SubclientFolder/TempFileName to SubclientFolder/FinalFileName and then drops
// TempFileName, so an element without it means that nothing is left to rename.
#pragma once

#include <string>

#include "core/KoError.h"
#include "core/KoXml.h"

class XDirChange {
public:
    static constexpr const char* kElementName = "DirChange";

    XDirChange() = default;
    // A view over an existing element (which may be empty or gone: Exists() then says false).
    explicit XDirChange(CKoXNodePtr node) : m_node(std::move(node)) {}

    // A new element of its own document, to be filled and then stored under a job.
    static CKoError Create(XDirChange& dirChange);

    bool Exists() const { return m_node && m_node->Exists(); }
    const CKoXNodePtr& GetNode() const { return m_node; }

    // Empty when the attribute is missing.
    std::string get_SubclientFolder() const { return Attribute("SubclientFolder"); }
    std::string get_TempFileName() const { return Attribute("TempFileName"); }
    std::string get_FinalFileName() const { return Attribute("FinalFileName"); }

    CKoError Set_SubclientFolder(const std::string& folder) { return SetAttribute("SubclientFolder", folder); }
    CKoError Set_TempFileName(const std::string& name) { return SetAttribute("TempFileName", name); }
    CKoError Set_FinalFileName(const std::string& name) { return SetAttribute("FinalFileName", name); }
    // Succeeds when the attribute is already gone.
    CKoError Remove_TempFileName();

private:
    std::string Attribute(const char* name) const;
    CKoError SetAttribute(const char* name, const std::string& value);

    CKoXNodePtr m_node;
};
