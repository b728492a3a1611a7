#include "agent/BatchSort.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <queue>
#include <vector>

#include "core/Env.h"
#include "core/StringUtil.h"

namespace {

// Lines of a file of the seam, one at a time.
class CRunReader {
public:
    CKoError Open(const std::string& path) {
        return FXEnv::Current()->NewSequentialFile(path, m_file);
    }
    CKoError Next(std::string& line, bool& got) {
        line.clear();
        got = false;
        for (;;) {
            if (m_pos == m_end) {
                if (m_eof) {
                    got = !line.empty();
                    return CKoError::Success();
                }
                size_t n = 0;
                CKoError e = m_file->Read(m_buffer, sizeof m_buffer, n);
                if (e.IsError()) return e;
                m_pos = 0;
                m_end = n;
                m_eof = n == 0;
                continue;
            }
            const char* start = m_buffer + m_pos;
            const char* nl = static_cast<const char*>(std::memchr(start, '\n', m_end - m_pos));
            const size_t take = nl ? size_t(nl - start) : m_end - m_pos;
            line.append(start, take);
            m_pos += take + (nl ? 1 : 0);
            if (nl) {
                got = true;
                return CKoError::Success();
            }
        }
    }

private:
    std::unique_ptr<FXSequentialFile> m_file;
    char m_buffer[64 * 1024];
    size_t m_pos = 0, m_end = 0;
    bool m_eof = false;
};

CKoError WriteRun(const std::string& path, std::vector<std::string>& lines) {
    std::sort(lines.begin(), lines.end());
    std::unique_ptr<FXWritableFile> out;
    CKoError e = FXEnv::Current()->NewWritableFile(path, EWriteMode::Truncate, out);
    std::string chunk;
    for (size_t i = 0; e.IsSuccess() && i < lines.size(); ++i) {
        chunk += lines[i];
        chunk += '\n';
        if (chunk.size() >= (1u << 20) || i + 1 == lines.size()) {
            e = out->Append(chunk);
            chunk.clear();
        }
    }
    if (e.IsSuccess()) e = out->Close();
    lines.clear();
    return e;
}

}  // namespace

CKoError ZyBatchSort::SortFile(const std::string& input, const std::string& output, const std::string& workDir,
                               size_t memoryBytes) {
    FXEnv* env = FXEnv::Current();
    CKoError e = env->CreateDir(workDir, 0700);
    if (e.IsError() && !FXErrorUtil::IsWin32(e, ZyWin32::ERROR_ALREADY_EXISTS)) return e.Push(ZY_HERE);
    auto reader = std::make_unique<CRunReader>();
    e = reader->Open(input);
    if (e.IsError()) return e.Push(ZY_HERE);
    // Runs of what fits in memory, each sorted into a file of its own.
    std::vector<std::string> runs, lines;
    size_t held = 0;
    std::string line;
    try {
        for (;;) {
            bool got = false;
            e = reader->Next(line, got);
            if (e.IsError()) return e.Push(ZY_HERE);
            if (got) {
                held += line.size() + sizeof(std::string);
                lines.push_back(line);
            }
            if ((!got && !lines.empty()) || held >= memoryBytes) {
                runs.push_back(workDir + FXString::Format("/run%zu.tmp", runs.size()));
                e = WriteRun(runs.back(), lines);
                if (e.IsError()) return e.Push(ZY_HERE);
                held = 0;
            }
            if (!got) break;
        }
    } catch (const std::bad_alloc&) {
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "Out of memory sorting %s", input.c_str());
    }
    // Merge the runs into the output.
    std::vector<std::unique_ptr<CRunReader>> readers;
    using Head = std::pair<std::string, size_t>;
    std::priority_queue<Head, std::vector<Head>, std::greater<Head>> heads;
    for (size_t i = 0; i < runs.size(); ++i) {
        readers.push_back(std::make_unique<CRunReader>());
        e = readers.back()->Open(runs[i]);
        bool got = false;
        if (e.IsSuccess()) e = readers.back()->Next(line, got);
        if (e.IsError()) return e.Push(ZY_HERE);
        if (got) heads.emplace(line, i);
    }
    std::unique_ptr<FXWritableFile> out;
    e = env->NewWritableFile(output, EWriteMode::Truncate, out);
    std::string chunk;
    while (e.IsSuccess() && !heads.empty()) {
        Head head = heads.top();
        heads.pop();
        chunk += head.first;
        chunk += '\n';
        bool got = false;
        e = readers[head.second]->Next(line, got);
        if (e.IsSuccess() && got) heads.emplace(line, head.second);
        if (e.IsSuccess() && (chunk.size() >= (1u << 20) || heads.empty())) {
            e = out->Append(chunk);
            chunk.clear();
        }
    }
    if (e.IsSuccess()) e = out->Close();
    for (const std::string& run : runs) env->RemoveFile(run).IgnoreError();
    return e.IsError() ? e.Push(ZY_HERE, "Sorting %s into %s", input.c_str(), output.c_str()) : e;
}
