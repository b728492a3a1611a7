// A subclient's definition as the management-server stand-in keeps it: one small text file per
// subclient, written by an operator (see "Subclient files" in the README).
//
//   # File server shares.
//   id        = 17
//   name      = shares
//   content   = /srv/data
//   content   = /home
//   filter    = /srv/data/cache
//   filter    = *.tmp
//   exception = /srv/data/cache/keep
//   readers   = auto
//   filetype  = Images: *.jpg *.png
//   added     = /srv/data/new-project
//
// One "key = value" per line; blank lines and lines starting with "#" are skipped; white space
// around keys and values is dropped (a value cannot begin or end with a blank); a line ending in
// CR LF reads as one ending in LF. Keys:
//   id           the subclient's application id, 1 to 4294967295 (default 1); at most once
//   name         the subclient's name (default: the file name without ".subclient"); at most once
//   content      an absolute path to back up; at least one
//   filter       a filter string (agent/FilterTerm.h): an absolute path or pattern, or a name pattern
//   exception    the same, taken back in although a filter covers it
//   readers      the number of data readers, 1 to 1000, or "auto" (the default); at most once
//   filetype     an extension grouping: a name, ":", and patterns separated by blanks
//   added        an absolute path added to the content since the last backup
//   last-backup  the start of the last backup in seconds since 1970, as the job manager would
//                report it (default 0: never); at most once
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/KoError.h"

struct ZYSubclientDefinition {
    struct Value {
        std::string text;
        unsigned line = 0;  // where the file gave it
    };

    std::string file;  // the file it was read from
    uint32_t id = 1;
    std::string name;
    std::vector<Value> content, filters, exceptions, added;
    int readers = 0;  // 0: automatic
    std::vector<std::pair<std::string, std::vector<std::string>>> fileTypes;
    int64_t lastBackupTime = 0;

    static std::vector<std::string> Texts(const std::vector<Value>& values);
};

class ZYSubclientFile {
public:
    static constexpr const char* kExtension = ".subclient";

    // Parses the text of `fileName`. Every error is Win32 13 and names the file and the line:
    // a line that is not "key = value", an unknown or repeated key, an empty value, a number out
    // of range, a content path that is not absolute, a filter that does not parse, a file without
    // content; a text without any setting is Win32 4306 (empty).
    static CKoError Parse(const std::string& fileName, std::string_view text, ZYSubclientDefinition& out);

    // Reads and parses the file through FXEnv::Current(). A missing file is Win32 2, one that
    // cannot be read keeps the system's error, both naming the file. With `checkContent`, a
    // content path that does not exist (or cannot be examined) is an error naming its line;
    // monikers ("/%name%", resolved later by the agent) are not checked.
    static CKoError Load(const std::string& path, ZYSubclientDefinition& out, bool checkContent = true);
};
