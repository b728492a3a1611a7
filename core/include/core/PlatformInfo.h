// Per-machine settings: a text file of sections and keys.
//
//   # comment
//   [FileSystemAgent]
//   encodeAllSpecialSymbols=y
//
// The file is $SCAN_SETTINGS_FILE, else /etc/scan/settings.conf; a missing file is an empty store.
#pragma once

#include <string>

#include "core/KoError.h"

class ZYPlatformInfo {
public:
    // A missing key fails with Win32 code 1168 (not found); the caller keeps its default.
    static CKoError getString(const std::string& section, const std::string& key, std::string& out);
    // Decimal, or hexadecimal with "0x"; a value that is not a number fails with Win32 code 13.
    static CKoError getNumber(const std::string& section, const std::string& key, long long& out);
    // Stores the value and, when the store has a file, rewrites the file.
    static CKoError setString(const std::string& section, const std::string& key, const std::string& value);
    static CKoError setNumber(const std::string& section, const std::string& key, long long value);
    static CKoError removeKey(const std::string& section, const std::string& key);

    // Switches the store to another file (empty: an in-memory store, as tests use) and loads it.
    static CKoError SetSettingsFile(const std::string& path);
    static std::string GetSettingsFile();
};
