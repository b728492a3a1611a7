#include "FuzzSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "agent/PlatformServices.h"
#include "core/LogWriter.h"
#include "core/PlatformInfo.h"

namespace {

// Formats every line, as the real writer would, and keeps none of them: a format string that
// does not fit its arguments, or a "%s" given text without its NUL, shows up under the sanitizers.
class CFormattingLogSink : public CLogWriterInterface {
public:
    int GetLevel() const override { return 20; }
    void VWriteLine(int /*level*/, const char* /*function*/, int /*line*/, int /*arg1*/, int /*arg2*/,
                    const char* format, va_list args) override {
        char buffer[512];
        std::vsnprintf(buffer, sizeof buffer, format, args);
    }
};

std::string g_scratchDir;

void RemoveScratchDir() {
    if (g_scratchDir.empty()) return;
    fuzzsupport::ClearScratchDir();
    ::rmdir(g_scratchDir.c_str());
}

void WriteAll(int fd, const uint8_t* data, size_t size, const std::string& path) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "fuzz: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
            std::abort();
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
}

}  // namespace

void FuzzFail(const char* file, int line, const char* what) {
    std::fprintf(stderr, "fuzz: expectation failed at %s:%d: %s\n", file, line, what);
    std::abort();
}

namespace fuzzsupport {

void Setup() {
    static const bool done = [] {
        ZYPlatformInfo::SetSettingsFile("").IgnoreError();
        ZYPI_Focus::SetIsService(false);
        g_ptrLogWriter = std::make_shared<CFormattingLogSink>();
        return true;
    }();
    (void)done;
}

namespace {
void ClearFolder(const std::string& folder) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return;
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        const std::string path = folder + "/" + entry->d_name;
        if (::unlink(path.c_str()) != 0 && errno == EISDIR) {
            ClearFolder(path);
            ::rmdir(path.c_str());
        }
    }
    ::closedir(dir);
}

constexpr const char* kScratchPrefix = "/scan-fuzz-";

// A process that crashes (what a fuzzer is for) leaves its folder behind; the next one removes the
// folders of processes that are gone.
void RemoveStaleScratchDirs(const std::string& base) {
    DIR* dir = ::opendir(base.c_str());
    if (!dir) return;
    const std::string prefix = kScratchPrefix + 1;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        char* end = nullptr;
        const long pid = std::strtol(name.c_str() + prefix.size(), &end, 10);
        if (pid <= 0 || *end != '\0') continue;  // not one of ours
        if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
            ClearFolder(base + "/" + name);
            ::rmdir((base + "/" + name).c_str());
        }
    }
    ::closedir(dir);
}
}  // namespace

const std::string& ScratchDir() {
    if (!g_scratchDir.empty()) return g_scratchDir;
    Setup();
    struct stat st;
    std::string base = "/dev/shm";
    if (::stat(base.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || ::access(base.c_str(), W_OK) != 0) {
        const char* tmp = std::getenv("TMPDIR");
        base = tmp && *tmp ? tmp : "/tmp";
    }
    RemoveStaleScratchDirs(base);
    std::string dir = base + kScratchPrefix + std::to_string(::getpid());
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "fuzz: cannot create %s: %s\n", dir.c_str(), std::strerror(errno));
        std::abort();
    }
    g_scratchDir = dir;
    std::atexit(RemoveScratchDir);
    return g_scratchDir;
}

std::string ScratchPath(std::string_view name) {
    std::string path = ScratchDir();
    path.push_back('/');
    path.append(name);
    return path;
}

std::string WriteScratchFile(std::string_view name, const uint8_t* data, size_t size) {
    std::string path = ScratchPath(name);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        std::fprintf(stderr, "fuzz: cannot create %s: %s\n", path.c_str(), std::strerror(errno));
        std::abort();
    }
    WriteAll(fd, data, size, path);
    ::close(fd);
    return path;
}

std::string WriteScratchFile(std::string_view name, std::string_view content) {
    return WriteScratchFile(name, reinterpret_cast<const uint8_t*>(content.data()), content.size());
}


void ClearScratchDir() {
    if (!g_scratchDir.empty()) ClearFolder(g_scratchDir);
}

uint32_t CInput::Below(uint32_t n) {
    if (n == 0) return 0;
    uint32_t v = Byte();
    if (n > 256) v = v << 8 | Byte();
    if (n > 65536) v = v << 16 | static_cast<uint32_t>(Byte()) << 8 | Byte();
    return v % n;
}

uint64_t CInput::U64() {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = v << 8 | Byte();
    return v;
}

std::string_view CInput::Text(size_t max) {
    size_t length = Byte();
    if (length > max) length %= max + 1;
    if (length > Remaining()) length = Remaining();
    std::string_view text(reinterpret_cast<const char*>(m_data + m_pos), length);
    m_pos += length;
    return text;
}

std::string CInput::CText(size_t max) {
    std::string text;
    for (char c : Text(max))
        if (c != '\0') text.push_back(c);
    return text;
}

std::string_view CInput::Rest() {
    std::string_view rest(reinterpret_cast<const char*>(m_data + m_pos), Remaining());
    m_pos = m_size;
    return rest;
}

}  // namespace fuzzsupport
