#include "core/LogWriter.h"

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>

std::shared_ptr<CLogWriterInterface> g_ptrLogWriter;

void CLogWriterInterface::WriteLine(int level, const char* function, int line, int arg1, int arg2,
                                    const char* format, ...) {
    va_list args;
    va_start(args, format);
    VWriteLine(level, function, line, arg1, arg2, format, args);
    va_end(args);
}

static std::string FXFormatLogLine(const char* stamp, long pid, long tid, int level, const char* function, int line,
                            const std::string& message) {
    std::string text;
    text.reserve(message.size() + 128);
    char head[96];
    std::snprintf(head, sizeof head, "%ld %ld %s %2d ", pid, tid, stamp, level);
    text += head;
    text += function ? function : "?";
    text += "(";
    text += std::to_string(line);
    text += "): ";
    text += message;
    text += "\n";
    return text;
}

CLogWriter::CLogWriter(int level) : m_level(level), m_file(stderr) {}

CLogWriter::CLogWriter(int level, std::string path, uint64_t maxBytes)
    : m_level(level), m_path(std::move(path)), m_maxBytes(maxBytes) {}

CLogWriter::~CLogWriter() {
    if (m_file && m_file != stderr) std::fclose(m_file);
}

CKoError CLogWriter::Open() {
    if (m_path.empty()) return CKoError::Success();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_file) return CKoError::Success();
    m_file = std::fopen(m_path.c_str(), "a");
    if (!m_file) return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "Cannot open log file, FileName=[%s]", m_path.c_str());
    struct stat st;
    m_written = fstat(fileno(m_file), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    return CKoError::Success();
}

void CLogWriter::RotateLocked() {
    if (m_path.empty() || m_maxBytes == 0 || m_written < m_maxBytes) return;
    std::fclose(m_file);
    std::string old = m_path + ".1";
    std::rename(m_path.c_str(), old.c_str());
    m_file = std::fopen(m_path.c_str(), "a");
    m_written = 0;
}

void CLogWriter::VWriteLine(int level, const char* function, int line, int /*arg1*/, int /*arg2*/,
                            const char* format, va_list args) {
    if (!IsEnabled(level)) return;
    std::string message = ZyVFormat(format, args);

    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm;
    localtime_r(&ts.tv_sec, &tm);
    char stamp[64];
    size_t n = std::strftime(stamp, sizeof stamp, "%m/%d %H:%M:%S", &tm);
    std::snprintf(stamp + n, sizeof stamp - n, ".%03ld", ts.tv_nsec / 1000000);

    std::string text = FXFormatLogLine(stamp, static_cast<long>(getpid()), static_cast<long>(syscall(SYS_gettid)),
                                       level, function, line, message);

    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_file && !m_path.empty()) m_file = std::fopen(m_path.c_str(), "a");
    if (!m_file) return;
    std::fwrite(text.data(), 1, text.size(), m_file);
    std::fflush(m_file);
    m_written += text.size();
    RotateLocked();
}

ZyDebugFunction::ZyDebugFunction(const char* function, int line, int level)
    : m_function(function), m_line(line), m_level(level) {
    if (ZyLogEnabled(m_level)) g_ptrLogWriter->WriteLine(m_level, m_function, m_line, 0, 0, "Entering");
}

ZyDebugFunction::~ZyDebugFunction() {
    if (ZyLogEnabled(m_level)) g_ptrLogWriter->WriteLine(m_level, m_function, m_line, 0, 0, "Leaving");
}

namespace EvDebug {
static void VLog(int level, const char* format, va_list args) {
    if (ZyLogEnabled(level)) g_ptrLogWriter->VWriteLine(level, "EvDebug", 0, 0, 0, format, args);
}
void Debug(const char* format, ...) {
    va_list args;
    va_start(args, format);
    VLog(1, format, args);
    va_end(args);
}
void DebugLvl(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    VLog(level, format, args);
    va_end(args);
}
void Error(const char* format, ...) {
    va_list args;
    va_start(args, format);
    VLog(ZYLOG_ERROR_LEVEL, format, args);
    va_end(args);
}
}  // namespace EvDebug

CKoError CLineWriter::WriteLine(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string line = ZyVFormat(format, args);
    va_end(args);
    return WriteText(line);
}

CKoError CLogWriterLineWriter::WriteText(const std::string& line) {
    ZYLOG(m_level, "%s", line.c_str());
    return CKoError::Success();
}

CKoError CStringLineWriter::WriteText(const std::string& line) {
    m_lines.push_back(line);
    return CKoError::Success();
}

std::string CDisplayBitsBase::AsString(const SDisplayBit* table, size_t count, uint32_t value) {
    std::string out;
    for (size_t i = 0; i < count; ++i) {
        if (table[i].bit != 0 && (value & table[i].bit) == table[i].bit) {
            if (!out.empty()) out += "|";
            out += table[i].name;
        }
    }
    return out;
}
