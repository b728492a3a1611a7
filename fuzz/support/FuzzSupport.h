// What the fuzz targets share: a per-process scratch folder for readers that take a path, a log
// sink that formats every line (so format strings meet the fuzzed text) and drops it, and a
// reader of structured choices from the fuzzer's bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace fuzzsupport {

// Once per process: the settings store in memory (nothing of this machine's settings is read),
// not running as the agent's service, and the log sink at the highest level.
void Setup();

// A folder of this process (on /dev/shm when the machine has it, else $TMPDIR or /tmp), made on
// first use and removed with its content when the process exits.
const std::string& ScratchDir();
// ScratchDir() + "/" + name.
std::string ScratchPath(std::string_view name);

// Writes `size` bytes to ScratchPath(name), replacing what was there; returns the path. Aborts
// when the file cannot be written: the target would test nothing.
std::string WriteScratchFile(std::string_view name, const uint8_t* data, size_t size);
std::string WriteScratchFile(std::string_view name, std::string_view content);
// Removes everything in the scratch folder.
void ClearScratchDir();

// Reads choices from the front of the input and text from wherever the caller asks; past the
// end every choice is 0 and every text empty, so any input is a valid program.
class CInput {
public:
    CInput(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

    bool Empty() const { return m_pos >= m_size; }
    size_t Remaining() const { return m_size - m_pos; }
    uint8_t Byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    bool Bool() { return Byte() & 1; }
    // A number in [0, n) (0 when n is 0).
    uint32_t Below(uint32_t n);
    uint64_t U64();
    // Up to `max` bytes: a length byte then that many bytes.
    std::string_view Text(size_t max = 64);
    // The same with NUL bytes dropped, for APIs that take C strings.
    std::string CText(size_t max = 64);
    // Everything not read yet.
    std::string_view Rest();

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

}  // namespace fuzzsupport

// Stops the process with a message naming the broken expectation, the way a fuzzer reports it.
[[noreturn]] void FuzzFail(const char* file, int line, const char* what);
#define FUZZ_CHECK(cond)                                              \
    do {                                                              \
        if (!(cond)) FuzzFail(__FILE__, __LINE__, #cond);             \
    } while (0)
