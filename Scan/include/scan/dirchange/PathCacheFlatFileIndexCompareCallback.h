// What a comparison of flat-file index views tells its caller, folder by folder and, inside a
// folder, file by file: an item only in the first view, only in the second, or in both. The node
// forms are called for folders, the string forms (item path, folder, name, item) for files.
//
// Every operation of this base answers Win32 50 (not supported): an operation that does is not
// called again during that comparison. Any other error ends the comparison.
#pragma once

#include <string>

#include "core/KoError.h"
#include "scan/dirchange/AbortOperationCheck.h"
#include "scan/dirchange/FVBase.h"
#include "scan/dirchange/PathCacheFlatFileIndex.h"

class CPathCacheFlatFileIndexCompareCallback : public CAbortOperationCheck {
public:
    using CacheNodePtr = CPathCacheFlatFileIndex::CacheNodePtr;

    virtual CKoError OnInIndex1(const std::string& folder, const CacheNodePtr& node);
    // Whether the files and subfolders of a folder only in the first view are reported too.
    virtual CKoError OnInIndex1RecurseIntoDeletedFolder(const std::string& folder, const CacheNodePtr& node,
                                                        bool& recurse);
    virtual CKoError OnInIndex1(const std::string& path, const std::string& folder, const std::string& name,
                                const FVBasePtr& item);
    virtual CKoError OnInIndex2(const std::string& folder, const CacheNodePtr& node);
    virtual CKoError OnInIndex2(const std::string& path, const std::string& folder, const std::string& name,
                                const FVBasePtr& item);
    virtual CKoError OnInBothIndexes(const std::string& folder, const CacheNodePtr& node1, const CacheNodePtr& node2);
    virtual CKoError OnInBothIndexes(const std::string& path, const std::string& folder, const std::string& name,
                                     const FVBasePtr& item1, const FVBasePtr& item2);
};
