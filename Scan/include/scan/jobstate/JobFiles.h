// File helpers of the job-state classes, all through the file-system seam (FXEnv::Current()).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/KoError.h"
#include "core/KoXml.h"

class CJobFiles {
public:
    // The whole file. Missing is Win32 2; a file larger than `maxBytes` is Win32 13.
    static CKoError ReadWhole(const std::string& path, std::string& content, uint64_t maxBytes);
    // Copies `from` to `to` durably: written under "<to>.tmp", synced, renamed over `to`, folder
    // synced. A crash leaves the old `to` (or none), never a part of the copy under its name.
    static CKoError CopyDurably(const std::string& from, const std::string& to);
    // Names of the entries of `folder` that match the shell pattern and are not folders, sorted.
    static CKoError ListMatching(const std::string& folder, const std::string& pattern,
                                 std::vector<std::string>& names);
    // Removes a file; one that is already gone is success.
    static CKoError RemoveIfPresent(const std::string& path);
    // True when something (a link included) has this name.
    static bool Exists(const std::string& path);
    // Loads an XML document from a file: missing is Win32 2, empty (or only white space) 4306,
    // larger than `maxBytes` or not well-formed 13. `what` names the document in messages. On
    // failure the document is empty.
    static CKoError LoadDocument(CKoXDocument& document, const std::string& path, uint64_t maxBytes,
                                 const char* what);
    // Replaces the file with the document durably.
    static CKoError SaveDocument(const CKoXDocument& document, const std::string& path, const char* what);
    // A name that stays inside its folder: not empty, no "/", not "." or "..".
    static bool IsPlainName(const std::string& name);
};
