// Stand-in for the agent's comparison of two content containers: walks both in comparison order,
// folder by folder and, inside a folder, file by file, and tells a callback what is only in the
// first, only in the second, or in both.
//
// The callback's short folder forms are tried first; one that answers Win32 50 (not supported) is
// not asked again and its long form is used instead. Any other error ends the comparison and is
// returned. A folder only in the first container is descended into when the configuration says
// so (RecurseIntoDeletedFolders, on by default) and the callback leaves it so; a folder only in
// the second is always descended into, since what lies below it is new too. A folder of the first
// that the second lacks while holding folders below it is a step of their paths, not reported
// as only in the first (its files still are).
#pragma once

#include <map>
#include <memory>
#include <string>

#include "agent/ContentContainer.h"
#include "core/KoError.h"

namespace CX {

// Named settings of a comparison.
class CConfigurationBag {
public:
    static constexpr const char* kRecurseIntoDeletedFolders = "RecurseIntoDeletedFolders";

    void SetBool(const std::string& name, bool value) { m_values[name] = value ? "1" : "0"; }
    bool GetBool(const std::string& name, bool defaultValue) const {
        auto it = m_values.find(name);
        return it == m_values.end() ? defaultValue : it->second == "1";
    }

private:
    std::map<std::string, std::string> m_values;
};

// `path` is always the item's full path and `name` its last component. The defaults answer
// Win32 50.
class CCompareContentContainersCallback {
public:
    virtual ~CCompareContentContainersCallback() = default;
    // Asked before each folder; true ends the comparison with Win32 995.
    virtual bool IsAborted() { return false; }

    virtual CKoError OnFolderInIndex1(const std::string& path, const std::string& name);
    virtual CKoError OnFolderInIndex2(const std::string& path, const std::string& name);
    virtual CKoError OnFolderInBothIndexes(const std::string& path, const std::string& name1, const std::string& name2);

    virtual CKoError OnFolderInIndex1(const std::string& path, const std::string& name, bool& recurse);
    virtual CKoError OnFolderInIndex2(const std::string& path, const std::string& name, const std::string& metadata);
    virtual CKoError OnFolderInBothIndexes(const std::string& path, const std::string& name1, const std::string& name2,
                                           const std::string& metadata1, const std::string& metadata2);

    virtual CKoError OnFileInIndex1(const std::string& path, const std::string& name, const std::string& metadata1);
    virtual CKoError OnFileInIndex2(const std::string& path, const std::string& name, const std::string& metadata2);
    virtual CKoError OnFileInBothIndexes(const std::string& path, const std::string& name,
                                         const std::string& metadata1, const std::string& metadata2);
};

class CCompareContentContainers {
public:
    // Both containers must be open.
    CCompareContentContainers(std::shared_ptr<CContentContainer> container1,
                              std::shared_ptr<CContentContainer> container2)
        : m_container1(std::move(container1)), m_container2(std::move(container2)) {}

    void SetConfiguration(const CConfigurationBag& configuration) { m_configuration = configuration; }
    // A container that a writer did not finish (no origin recorded) is refused with Win32 13.
    CKoError CompareDatabases(CCompareContentContainersCallback& callback);

private:
    class Run;
    std::shared_ptr<CContentContainer> m_container1, m_container2;
    CConfigurationBag m_configuration;
};

}  // namespace CX
