#include "agent/CompareContentContainers.h"

#include "core/LogWriter.h"

namespace CX {

namespace {

CKoError NotSupported(const FXCodeLocation& here) {
    return FXErrorUtil::ErrorWin32(here, ZyWin32::ERROR_NOT_SUPPORTED);
}

std::string NameOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string KeyOf(const std::string& path) { return path == "/" ? path : path + "/"; }

std::string Join(const std::string& folder, const std::string& name) {
    return folder == "/" ? "/" + name : folder + "/" + name;
}

}  // namespace

CKoError CCompareContentContainersCallback::OnFolderInIndex1(const std::string&, const std::string&) {
    return NotSupported(ZY_HERE);
}
CKoError CCompareContentContainersCallback::OnFolderInIndex2(const std::string&, const std::string&) {
    return NotSupported(ZY_HERE);
}
CKoError CCompareContentContainersCallback::OnFolderInBothIndexes(const std::string&, const std::string&,
                                                                  const std::string&) {
    return NotSupported(ZY_HERE);
}
CKoError CCompareContentContainersCallback::OnFolderInIndex1(const std::string&, const std::string&, bool&) {
    return NotSupported(ZY_HERE);
}
CKoError CCompareContentContainersCallback::OnFolderInIndex2(const std::string&, const std::string&,
                                                             const std::string&) {
    return NotSupported(ZY_HERE);
}
CKoError CCompareContentContainersCallback::OnFolderInBothIndexes(const std::string&, const std::string&,
                                                                  const std::string&, const std::string&,
                                                                  const std::string&) {
    return NotSupported(ZY_HERE);
}
CKoError CCompareContentContainersCallback::OnFileInIndex1(const std::string&, const std::string&,
                                                           const std::string&) {
    return NotSupported(ZY_HERE);
}
CKoError CCompareContentContainersCallback::OnFileInIndex2(const std::string&, const std::string&,
                                                           const std::string&) {
    return NotSupported(ZY_HERE);
}
CKoError CCompareContentContainersCallback::OnFileInBothIndexes(const std::string&, const std::string&,
                                                                const std::string&, const std::string&) {
    return NotSupported(ZY_HERE);
}

// One walk over both containers.
class CCompareContentContainers::Run {
public:
    Run(CContentContainer& c1, CContentContainer& c2, CCompareContentContainersCallback& callback, bool recurse)
        : m_c1(c1), m_c2(c2), m_callback(callback), m_recurseDeleted(recurse) {}

    CKoError Go() {
        CKoError e = m_c1.StartFolders();
        if (e.IsSuccess()) e = m_c2.StartFolders();
        if (e.IsSuccess()) e = Next1();
        if (e.IsSuccess()) e = Next2();
        while (e.IsSuccess() && (m_has1 || m_has2)) {
            if (m_callback.IsAborted())
                return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OPERATION_ABORTED,
                                               "The comparison of the content containers was aborted");
            const int order = !m_has1 ? 1 : !m_has2 ? -1 : m_key1.compare(m_key2);
            if (order < 0 && m_has2 && m_key2.compare(0, m_key1.size(), m_key1) == 0)
                e = PathStepOnlyIn1();
            else if (order < 0)
                e = OnlyIn1();
            else if (order > 0)
                e = OnlyIn2();
            else
                e = InBoth();
        }
        return e;
    }

private:
    CKoError Next1() {
        CKoError e = m_c1.NextFolder(m_folder1, m_has1);
        if (e.IsSuccess() && m_has1) m_key1 = KeyOf(m_folder1.path);
        return e;
    }
    CKoError Next2() {
        CKoError e = m_c2.NextFolder(m_folder2, m_has2);
        if (e.IsSuccess() && m_has2) m_key2 = KeyOf(m_folder2.path);
        return e;
    }

    CKoError OnlyIn1() {
        const std::string path = m_folder1.path, name = NameOf(path), key = m_key1;
        bool recurse = m_recurseDeleted;
        CKoError e = CallFolder(m_short1, [&] { return m_callback.OnFolderInIndex1(path, name); },
                                [&] { return m_callback.OnFolderInIndex1(path, name, recurse); });
        if (e.IsError()) return e.Push(ZY_HERE, "OnFolderInIndex1, Folder=[%s]", path.c_str());
        if (recurse) {
            e = MergeFiles(path, m_folder1.id, -1);
            if (e.IsError()) return e;
            return Next1();
        }
        // Its subtree follows it directly in comparison order.
        do {
            e = Next1();
        } while (e.IsSuccess() && m_has1 && m_key1.compare(0, key.size(), key) == 0);
        return e;
    }

    // A folder of container 1 that container 2 lacks although it holds folders below it: a step
    // of their paths there, not a folder that is gone. Its own files are compared.
    CKoError PathStepOnlyIn1() {
        CKoError e = MergeFiles(m_folder1.path, m_folder1.id, -1);
        if (e.IsError()) return e;
        return Next1();
    }

    CKoError OnlyIn2() {
        const std::string path = m_folder2.path, name = NameOf(path);
        CKoError e = CallFolder(m_short2, [&] { return m_callback.OnFolderInIndex2(path, name); },
                                [&] { return m_callback.OnFolderInIndex2(path, name, m_folder2.metadata); });
        if (e.IsError()) return e.Push(ZY_HERE, "OnFolderInIndex2, Folder=[%s]", path.c_str());
        e = MergeFiles(path, -1, m_folder2.id);
        if (e.IsError()) return e;
        return Next2();
    }

    CKoError InBoth() {
        const std::string path = m_folder1.path, name = NameOf(path);
        CKoError e = CallFolder(
            m_shortBoth, [&] { return m_callback.OnFolderInBothIndexes(path, name, name); },
            [&] { return m_callback.OnFolderInBothIndexes(path, name, name, m_folder1.metadata, m_folder2.metadata); });
        if (e.IsError()) return e.Push(ZY_HERE, "OnFolderInBothIndexes, Folder=[%s]", path.c_str());
        e = MergeFiles(path, m_folder1.id, m_folder2.id);
        if (e.IsSuccess()) e = Next1();
        if (e.IsSuccess()) e = Next2();
        return e;
    }

    // The short form while it is supported, then the long form; a long form that is not
    // supported either is passed over.
    template <class Short, class Long>
    CKoError CallFolder(bool& useShort, Short shortForm, Long longForm) {
        if (useShort) {
            CKoError e = shortForm();
            if (!FXErrorUtil::IsWin32(e, ZyWin32::ERROR_NOT_SUPPORTED)) return e;
            useShort = false;
        }
        CKoError e = longForm();
        if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_NOT_SUPPORTED)) return CKoError::Success();
        return e;
    }

    static CKoError Filter(CKoError e, bool& supported) {
        if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_NOT_SUPPORTED)) {
            supported = false;
            return CKoError::Success();
        }
        return e;
    }

    // The files of one folder: `id1` or `id2` is -1 when the folder is only in the other container.
    CKoError MergeFiles(const std::string& folder, int64_t id1, int64_t id2) {
        bool has1 = false, has2 = false;
        CKoError e;
        if (id1 >= 0) {
            e = m_c1.StartFiles(id1);
            if (e.IsSuccess()) e = m_c1.NextFile(m_file1, has1);
        }
        if (e.IsSuccess() && id2 >= 0) {
            e = m_c2.StartFiles(id2);
            if (e.IsSuccess()) e = m_c2.NextFile(m_file2, has2);
        }
        while (e.IsSuccess() && (has1 || has2)) {
            const int order = !has1 ? 1 : !has2 ? -1 : m_file1.name.compare(m_file2.name);
            if (order < 0) {
                if (m_file1Supported)
                    e = Filter(m_callback.OnFileInIndex1(Join(folder, m_file1.name), m_file1.name, m_file1.metadata),
                               m_file1Supported);
                if (e.IsError()) return e.Push(ZY_HERE, "OnFileInIndex1, File=[%s]", m_file1.name.c_str());
                e = m_c1.NextFile(m_file1, has1);
            } else if (order > 0) {
                if (m_file2Supported)
                    e = Filter(m_callback.OnFileInIndex2(Join(folder, m_file2.name), m_file2.name, m_file2.metadata),
                               m_file2Supported);
                if (e.IsError()) return e.Push(ZY_HERE, "OnFileInIndex2, File=[%s]", m_file2.name.c_str());
                e = m_c2.NextFile(m_file2, has2);
            } else {
                if (m_fileBothSupported)
                    e = Filter(m_callback.OnFileInBothIndexes(Join(folder, m_file1.name), m_file1.name,
                                                              m_file1.metadata, m_file2.metadata),
                               m_fileBothSupported);
                if (e.IsError()) return e.Push(ZY_HERE, "OnFileInBothIndexes, File=[%s]", m_file1.name.c_str());
                e = m_c1.NextFile(m_file1, has1);
                if (e.IsSuccess()) e = m_c2.NextFile(m_file2, has2);
            }
        }
        if (e.IsError()) return e.Push(ZY_HERE, "Folder=[%s]", folder.c_str());
        return CKoError::Success();
    }

    CContentContainer& m_c1;
    CContentContainer& m_c2;
    CCompareContentContainersCallback& m_callback;
    const bool m_recurseDeleted;
    SContentContainerFolder m_folder1, m_folder2;
    SContentContainerFile m_file1, m_file2;
    std::string m_key1, m_key2;
    bool m_has1 = false, m_has2 = false;
    bool m_short1 = true, m_short2 = true, m_shortBoth = true;
    bool m_file1Supported = true, m_file2Supported = true, m_fileBothSupported = true;
};

CKoError CCompareContentContainers::CompareDatabases(CCompareContentContainersCallback& callback) {
    for (const auto& container : {m_container1, m_container2}) {
        if (!container)
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "No content container to compare");
        bool complete = false;
        CKoError e = container->IsComplete(complete);
        if (e.IsError()) return e.Push(ZY_HERE);
        if (!complete)
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA,
                                           "The content container was not finished by its writer, FileName=[%s]",
                                           container->GetName().c_str());
    }
    Run run(*m_container1, *m_container2, callback,
            m_configuration.GetBool(CConfigurationBag::kRecurseIntoDeletedFolders, true));
    CKoError e = run.Go();
    m_container1->EndReading();
    m_container2->EndReading();
    if (e.IsError())
        return e.Push(ZY_HERE, "Comparison of content containers failed, Container1=[%s], Container2=[%s]",
                      m_container1->GetName().c_str(), m_container2->GetName().c_str());
    return CKoError::Success();
}

}  // namespace CX
