#include "core/PlatformInfo.h"

#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>
#include <sstream>

#include "core/Env.h"
#include "core/File.h"
#include "core/LogWriter.h"
#include "core/StringUtil.h"

namespace {
using Section = std::map<std::string, std::string>;

struct Store {
    std::mutex mutex;
    bool loaded = false;
    std::string path;
    std::map<std::string, Section> sections;
};

Store& TheStore() {
    static Store store;
    return store;
}

std::string DefaultPath() {
    const char* env = std::getenv("SCAN_SETTINGS_FILE");
    return env ? std::string(env) : std::string("/etc/scan/settings.conf");
}

void Parse(const std::string& text, std::map<std::string, Section>& sections) {
    std::istringstream in(text);
    std::string line, section;
    while (std::getline(in, line)) {
        FXString::TrimWhiteSpace(line);
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (line.front() == '[' && line.back() == ']') {
            section = line.substr(1, line.size() - 2);
            FXString::TrimWhiteSpace(section);
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        FXString::TrimWhiteSpace(key);
        FXString::TrimWhiteSpace(value);
        if (!key.empty()) sections[section][key] = value;
    }
}

CKoError LoadLocked(Store& s) {
    s.sections.clear();
    s.loaded = true;
    if (s.path.empty()) return CKoError::Success();
    std::string text;
    CKoError e = FXFile::ReadWholeFile(s.path, text);
    if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_FILE_NOT_FOUND)) return CKoError::Success();  // no settings: defaults
    if (e.IsError()) {
        // Every key is at its caller's default now; whoever wonders why must find a reason.
        ZYLOG_ERROR("Cannot read settings file, every setting keeps its default, FileName=[%s], error=%s", s.path.c_str(),
                    e.AsString().c_str());
        return e.Push(ZY_HERE, "Cannot read settings file, FileName=[%s]", s.path.c_str());
    }
    Parse(text, s.sections);
    return CKoError::Success();
}

void EnsureLoadedLocked(Store& s) {
    if (s.loaded) return;
    s.path = DefaultPath();
    // An unreadable settings file leaves every key at its caller's default (LoadLocked logs it).
    LoadLocked(s).IgnoreError();
}

CKoError SaveLocked(const Store& s) {
    if (s.path.empty()) return CKoError::Success();
    std::string text;
    for (const auto& [name, keys] : s.sections) {
        text += "[" + name + "]\n";
        for (const auto& [key, value] : keys) text += key + "=" + value + "\n";
        text += "\n";
    }
    CKoError e = FXDurableReplace::WriteWhole(s.path, text);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot write settings file, FileName=[%s]", s.path.c_str());
    return CKoError::Success();
}
}  // namespace

CKoError ZYPlatformInfo::getString(const std::string& section, const std::string& key, std::string& out) {
    Store& s = TheStore();
    std::lock_guard<std::mutex> lock(s.mutex);
    EnsureLoadedLocked(s);
    auto sec = s.sections.find(section);
    if (sec != s.sections.end()) {
        auto it = sec->second.find(key);
        if (it != sec->second.end()) {
            out = it->second;
            return CKoError::Success();
        }
    }
    return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_FOUND, "Setting not found, Section=[%s], Key=[%s]",
                                   section.c_str(), key.c_str());
}

CKoError ZYPlatformInfo::getNumber(const std::string& section, const std::string& key, long long& out) {
    std::string text;
    CKoError e = getString(section, key, text);
    if (e.IsError()) return e;
    errno = 0;
    char* end = nullptr;
    long long value = std::strtoll(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || errno == ERANGE)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA,
                                       "Setting is not a number, Section=[%s], Key=[%s], Value=[%s]", section.c_str(),
                                       key.c_str(), text.c_str());
    out = value;
    return CKoError::Success();
}

CKoError ZYPlatformInfo::setString(const std::string& section, const std::string& key, const std::string& value) {
    Store& s = TheStore();
    std::lock_guard<std::mutex> lock(s.mutex);
    EnsureLoadedLocked(s);
    auto before = s.sections;
    s.sections[section][key] = value;
    CKoError e = SaveLocked(s);
    if (e.IsError()) {
        s.sections.swap(before);
        return e.Push(ZY_HERE);
    }
    return CKoError::Success();
}

CKoError ZYPlatformInfo::setNumber(const std::string& section, const std::string& key, long long value) {
    return setString(section, key, std::to_string(value));
}

CKoError ZYPlatformInfo::removeKey(const std::string& section, const std::string& key) {
    Store& s = TheStore();
    std::lock_guard<std::mutex> lock(s.mutex);
    EnsureLoadedLocked(s);
    auto sec = s.sections.find(section);
    if (sec == s.sections.end() || sec->second.erase(key) == 0)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_FOUND, "Setting not found, Section=[%s], Key=[%s]",
                                       section.c_str(), key.c_str());
    CKoError e = SaveLocked(s);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError ZYPlatformInfo::SetSettingsFile(const std::string& path) {
    Store& s = TheStore();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.path = path;
    CKoError e = LoadLocked(s);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

std::string ZYPlatformInfo::GetSettingsFile() {
    Store& s = TheStore();
    std::lock_guard<std::mutex> lock(s.mutex);
    EnsureLoadedLocked(s);
    return s.path;
}
