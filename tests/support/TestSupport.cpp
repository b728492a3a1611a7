#include "support/TestSupport.h"

#include <linux/capability.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "core/KoError.h"
#include "core/PlatformInfo.h"

namespace testsupport {

ScopedTempDir::ScopedTempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/scantest.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    m_path = buf.data();
}

ScopedTempDir::~ScopedTempDir() { RemoveTree(m_path); }

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + path);
}

bool DropFileAccessOverride() {
    for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH})
        if (::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0 && errno != EINVAL) return false;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (::syscall(SYS_capget, &header, data) != 0) return false;
    const uint32_t keep = ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    data[0].effective &= keep;
    data[0].permitted &= keep;
    data[0].inheritable &= keep;
    return ::syscall(SYS_capset, &header, data) == 0;
}

int Shell(const std::string& command) {
    int rc = std::system(command.c_str());
    if (rc == -1) return -1;
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

void RemoveTree(const std::string& path) {
    if (path.empty() || path == "/") return;
    // Immutable flags set by a test would make the removal fail.
    std::string quoted = "'" + path + "'";
    Shell("chattr -R -i " + quoted + " >/dev/null 2>&1; rm -rf " + quoted);
}

namespace {
struct FailingCookie {
    std::string* sink;
    int failOn;
    int err;
    int writes = 0;
};

ssize_t CookieWrite(void* c, const char* buf, size_t size) {
    auto* cookie = static_cast<FailingCookie*>(c);
    if (++cookie->writes >= cookie->failOn) {
        errno = cookie->err;
        return -1;
    }
    if (cookie->sink) cookie->sink->append(buf, size);
    return static_cast<ssize_t>(size);
}

int CookieClose(void* c) {
    delete static_cast<FailingCookie*>(c);
    return 0;
}
}  // namespace

FILE* OpenFailingStream(std::string* sink, int failOnWrite, int err) {
    auto* cookie = new FailingCookie{sink, failOnWrite, err};
    cookie_io_functions_t io{};
    io.write = CookieWrite;
    io.close = CookieClose;
    FILE* f = ::fopencookie(cookie, "w", io);
    if (!f) {
        delete cookie;
        return nullptr;
    }
    std::setvbuf(f, nullptr, _IONBF, 0);
    return f;
}

TinyTmpfs::TinyTmpfs(size_t bytes) {
    std::string options = "size=" + std::to_string(bytes);
    m_mounted = ::mount("tmpfs", m_dir.Path().c_str(), "tmpfs", 0, options.c_str()) == 0;
}

TinyTmpfs::~TinyTmpfs() {
    if (m_mounted) ::umount2(m_dir.Path().c_str(), MNT_DETACH);
}

ScopedSettings::ScopedSettings() { ZYPlatformInfo::SetSettingsFile("").IgnoreError(); }
ScopedSettings::~ScopedSettings() { ZYPlatformInfo::SetSettingsFile("").IgnoreError(); }
void ScopedSettings::Set(const std::string& section, const std::string& key, const std::string& value) {
    ZYPlatformInfo::setString(section, key, value).IgnoreError();
}

void CapturingLogWriter::VWriteLine(int level, const char* function, int line, int, int, const char* format,
                                    va_list args) {
    if (level > m_level) return;
    std::string text = std::string(function ? function : "") + "(" + std::to_string(line) + "): " + ZyVFormat(format, args);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.push_back(std::move(text));
}

std::vector<std::string> CapturingLogWriter::Lines() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
}

bool CapturingLogWriter::Contains(const std::string& text) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& l : m_lines)
        if (l.find(text) != std::string::npos) return true;
    return false;
}

ScopedLogCapture::ScopedLogCapture(int level)
    : m_writer(std::make_shared<CapturingLogWriter>(level)), m_previous(g_ptrLogWriter) {
    g_ptrLogWriter = m_writer;
}

ScopedLogCapture::~ScopedLogCapture() { g_ptrLogWriter = m_previous; }

}  // namespace testsupport
