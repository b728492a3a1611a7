// The process-wide log writer, line writers for diagnostic dumps, and flag-word display.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/KoError.h"

// Levels: -1 errors (always written), 0..7 progress and increasing detail, 20 per-page tracing.
constexpr int ZYLOG_ERROR_LEVEL = -1;

class CLogWriterInterface {
public:
    virtual ~CLogWriterInterface() = default;
    virtual int GetLevel() const = 0;
    bool IsEnabled(int level) const { return level <= GetLevel(); }

    // One formatted line; `function` is the caller's signature. `arg1` and `arg2` are passed as 0.
    void WriteLine(int level, const char* function, int line, int arg1, int arg2, const char* format, ...)
        ZY_PRINTF(7, 8);
    virtual void VWriteLine(int level, const char* function, int line, int arg1, int arg2, const char* format,
                            va_list args) = 0;
};

// Set up by the hosting process; may be empty, then nothing is logged.
extern std::shared_ptr<CLogWriterInterface> g_ptrLogWriter;

// Writes to a file (renamed to "<file>.1" when it grows past its limit) or to standard error.
class CLogWriter : public CLogWriterInterface {
public:
    // Logs to standard error.
    explicit CLogWriter(int level);
    // Logs to `path`; when the file grows past maxBytes it becomes "<path>.1" and a new one is started.
    CLogWriter(int level, std::string path, uint64_t maxBytes = 64ull << 20);
    ~CLogWriter() override;

    CKoError Open();
    int GetLevel() const override { return m_level.load(std::memory_order_relaxed); }
    void SetLevel(int level) { m_level.store(level, std::memory_order_relaxed); }
    void VWriteLine(int level, const char* function, int line, int arg1, int arg2, const char* format,
                    va_list args) override;

private:
    void RotateLocked();

    std::atomic<int> m_level;
    std::string m_path;
    uint64_t m_maxBytes = 0;
    std::mutex m_mutex;
    FILE* m_file = nullptr;
    uint64_t m_written = 0;
};

// Logs at `level` when the process log writer is at that level or above; arguments are only
// evaluated then.
#define ZYLOG(level, ...)                                                                                \
    do {                                                                                                 \
        const auto& zyLogWriter_ = ::g_ptrLogWriter;                                                     \
        if (zyLogWriter_ && zyLogWriter_->IsEnabled(level))                                              \
            zyLogWriter_->WriteLine((level), __PRETTY_FUNCTION__, __LINE__, 0, 0, __VA_ARGS__);          \
    } while (0)
#define ZYLOG_ERROR(...) ZYLOG(ZYLOG_ERROR_LEVEL, __VA_ARGS__)

inline bool ZyLogEnabled(int level) { return g_ptrLogWriter && g_ptrLogWriter->IsEnabled(level); }

// Logs entry to and exit from a function at the given level.
class ZyDebugFunction {
public:
    ZyDebugFunction(const char* function, int line, int level = 7);
    ~ZyDebugFunction();
    ZyDebugFunction(const ZyDebugFunction&) = delete;
    ZyDebugFunction& operator=(const ZyDebugFunction&) = delete;

private:
    const char* m_function;
    int m_line;
    int m_level;
};
#define ZY_DEBUG_FUNCTION() ::ZyDebugFunction zyDebugFunction_(__PRETTY_FUNCTION__, __LINE__)

// Older classes log through these.
namespace EvDebug {
void Debug(const char* format, ...) ZY_PRINTF(1, 2);
void DebugLvl(int level, const char* format, ...) ZY_PRINTF(2, 3);
void Error(const char* format, ...) ZY_PRINTF(1, 2);
}  // namespace EvDebug

// One printf-style line per call, for diagnostic dumps.
class CLineWriter {
public:
    virtual ~CLineWriter() = default;
    CKoError WriteLine(const char* format, ...) ZY_PRINTF(2, 3);
    virtual CKoError WriteText(const std::string& line) = 0;
};

// Sends lines to the process log writer at a fixed level.
class CLogWriterLineWriter : public CLineWriter {
public:
    explicit CLogWriterLineWriter(int level = 0) : m_level(level) {}
    CKoError WriteText(const std::string& line) override;

private:
    int m_level;
};

// Keeps the lines in memory (tests, and callers that post-process a dump).
class CStringLineWriter : public CLineWriter {
public:
    CKoError WriteText(const std::string& line) override;
    const std::vector<std::string>& Lines() const { return m_lines; }

private:
    std::vector<std::string> m_lines;
};

// Names of the set bits of a flag word, in table order, joined by "|".
struct SDisplayBit {
    uint32_t bit;
    const char* name;
};

class CDisplayBitsBase {
public:
    template <size_t N>
    static std::string AsString(const SDisplayBit (&table)[N], uint32_t value) {
        return AsString(table, N, value);
    }
    static std::string AsString(const SDisplayBit* table, size_t count, uint32_t value);
};
