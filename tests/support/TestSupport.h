// Helpers shared by the tests: temporary folders, file contents, settings, log capture, and
// real faults (a stream that fails on the Nth write, a tiny full file system).
#pragma once

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/LogWriter.h"

namespace testsupport {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it at the end of the scope.
class ScopedTempDir {
public:
    ScopedTempDir();
    ~ScopedTempDir();
    ScopedTempDir(const ScopedTempDir&) = delete;
    ScopedTempDir& operator=(const ScopedTempDir&) = delete;
    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
void RemoveTree(const std::string& path);

// Runs a shell command; returns its exit status (-1 when it could not run).
int Shell(const std::string& command);

// For a forked child that must meet permission checks as an ordinary user would: drops
// CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH (from the bounding set too, so that a program it
// executes does not get them back) and stays uid 0, so it can still reach wherever the test's
// files and binaries lie. Files it must fail to read are made mode 0 (even their owner is refused
// then). False when the capabilities could not be dropped.
bool DropFileAccessOverride();

// A stdio stream into memory whose Nth write (1-based) and every later one fail with `err`;
// writes before it land in *sink. Made with fopencookie so the library's own fwrite path sees
// a real failure. Buffering is off, so each fwrite is one write.
FILE* OpenFailingStream(std::string* sink, int failOnWrite, int err = 28 /* ENOSPC */);

// A tmpfs of `bytes` mounted on a fresh folder, unmounted at the end of the scope. Mounting needs
// root; Mounted() says whether it worked so a test can skip.
class TinyTmpfs {
public:
    explicit TinyTmpfs(size_t bytes);
    ~TinyTmpfs();
    bool Mounted() const { return m_mounted; }
    const std::string& Path() const { return m_dir.Path(); }

private:
    ScopedTempDir m_dir;
    bool m_mounted = false;
};

// Allocations by operator new in this program so far.
long AllocationCount();

// While in scope, every allocation of more than `maxBytes` on this thread throws std::bad_alloc
// (operator new of the test programs checks it).
class ScopedAllocationLimit {
public:
    explicit ScopedAllocationLimit(size_t maxBytes);
    ~ScopedAllocationLimit();
    ScopedAllocationLimit(const ScopedAllocationLimit&) = delete;
    ScopedAllocationLimit& operator=(const ScopedAllocationLimit&) = delete;

private:
    size_t m_previous;
};

// Sets the settings store to memory for the life of the scope (and back to memory after).
class ScopedSettings {
public:
    ScopedSettings();
    ~ScopedSettings();
    void Set(const std::string& section, const std::string& key, const std::string& value);
};

// Records every log line at or below `level` while in scope.
class CapturingLogWriter : public CLogWriterInterface {
public:
    explicit CapturingLogWriter(int level) : m_level(level) {}
    int GetLevel() const override { return m_level; }
    void VWriteLine(int level, const char* function, int line, int, int, const char* format, va_list args) override;
    std::vector<std::string> Lines() const;
    bool Contains(const std::string& text) const;

private:
    int m_level;
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

class ScopedLogCapture {
public:
    explicit ScopedLogCapture(int level = 9);
    ~ScopedLogCapture();
    CapturingLogWriter& Log() { return *m_writer; }

private:
    std::shared_ptr<CapturingLogWriter> m_writer;
    std::shared_ptr<CLogWriterInterface> m_previous;
};

}  // namespace testsupport
