#include "FlatCollectSplitRecord.h"

#include <charconv>
#include <string_view>

#include "core/Path.h"
#include "scan/Unix/CollectFileEncode.h"

namespace {

constexpr std::string_view kHeader = "FlatCollectSplit 1 ";

// Takes a decimal number and the blank after it (unless `last`) off the front of `s`.
template <class T>
bool TakeNumber(std::string_view& s, T& value, bool last) {
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc() || end == s.data()) return false;
    s.remove_prefix(static_cast<size_t>(end - s.data()));
    if (last) return s.empty();
    if (s.empty() || s[0] != ' ') return false;
    s.remove_prefix(1);
    return true;
}

// An escaped path as the record holds it; no path holds a NUL.
bool DecodePath(std::string_view text, std::string& path) {
    if (text.empty() || text.find('\0') != std::string_view::npos) return false;
    path = decodeFileName(std::string(text).c_str());
    return !path.empty() && path.find('\0') == std::string::npos;
}

bool TakeWord(std::string_view& s, std::string_view word) {
    if (s.substr(0, word.size()) != word) return false;
    s.remove_prefix(word.size());
    return true;
}

}  // namespace

CKoError CFlatCollectSplitRecord::Write(const std::string& line, bool sync) {
    CKoError e = m_file->Append(line);
    if (e.IsSuccess() && sync) e = m_file->Sync();
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot write the split record [%s]", m_path.c_str());
    return CKoError::Success();
}

CKoError CFlatCollectSplitRecord::Create(const std::string& recordPath, const std::string& collectFile) {
    m_path = recordPath;
    CKoError e = FXEnv::Current()->NewWritableFile(recordPath, EWriteMode::Exclusive, m_file);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot create the split record [%s]", recordPath.c_str());
    e = Write(std::string(kHeader) + escapeFileName(collectFile.c_str(), false) + "\n", true);
    if (e.IsSuccess()) e = FXSyncParentDir(recordPath);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CFlatCollectSplitRecord::AddPart(int number, const std::string& path) {
    return Write("part " + std::to_string(number) + " " + escapeFileName(path.c_str(), false) + "\n", true);
}

CKoError CFlatCollectSplitRecord::PartDone(const SplitFileInfo& info) {
    return Write("done " + std::to_string(info.fileNumber) + " " + std::to_string(info.dataSize) + " " +
                     std::to_string(info.lineCount) + "\n",
                 false);
}

CKoError CFlatCollectSplitRecord::Commit(size_t parts) {
    m_sizeBeforeCommit = m_file->Size();
    return Write("commit " + std::to_string(parts) + "\n", true);
}

CKoError CFlatCollectSplitRecord::Uncommit() {
    if (!m_file)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "The split record [%s] is closed",
                                       m_path.c_str());
    CKoError e = m_file->Truncate(m_sizeBeforeCommit);
    if (e.IsSuccess()) e = m_file->Sync();
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot take back the commit of the split record [%s]", m_path.c_str());
    return CKoError::Success();
}

void CFlatCollectSplitRecord::Close() {
    if (m_file) m_file->Close().IgnoreError();
    m_file.reset();
}

CKoError CFlatCollectSplitRecord::Read(const std::string& recordPath, SContent& out, bool& exists) {
    out = SContent();
    exists = false;
    std::unique_ptr<FXSequentialFile> file;
    CKoError e = FXEnv::Current()->NewSequentialFile(recordPath, file);
    if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_FILE_NOT_FOUND)) return CKoError::Success();
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot read the split record [%s]", recordPath.c_str());
    exists = true;
    std::string text;
    char buffer[4096];
    for (size_t got = 1; got > 0;) {
        e = file->Read(buffer, sizeof buffer, got);
        if (e.IsError()) return e.Push(ZY_HERE, "Cannot read the split record [%s]", recordPath.c_str());
        text.append(buffer, got);
        if (text.size() > (64u << 20))
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "The split record [%s] is damaged",
                                           recordPath.c_str());
    }
    auto damaged = [&](size_t lineNumber) {
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA,
                                       "The split record [%s] is damaged at line %zu", recordPath.c_str(), lineNumber);
    };
    size_t lineNumber = 0;
    for (size_t start = 0;;) {
        const size_t end = text.find('\n', start);
        if (end == std::string::npos) break;  // a torn last line does not count
        std::string_view line(text.data() + start, end - start);
        start = end + 1;
        ++lineNumber;
        if (out.committed) return damaged(lineNumber);  // nothing follows the commit
        if (lineNumber == 1) {
            if (!TakeWord(line, kHeader) || !DecodePath(line, out.collectFile)) return damaged(lineNumber);
        } else if (TakeWord(line, "part ")) {
            int number = 0;
            std::string path;
            if (!TakeNumber(line, number, false) || !DecodePath(line, path)) return damaged(lineNumber);
            for (const auto& p : out.parts)
                if (p.second == path) return damaged(lineNumber);  // a split never names a part twice
            out.parts.emplace_back(number, std::move(path));
        } else if (TakeWord(line, "done ")) {
            SplitFileInfo info;
            if (!TakeNumber(line, info.fileNumber, false) || !TakeNumber(line, info.dataSize, false) ||
                !TakeNumber(line, info.lineCount, true) || out.done.size() >= out.parts.size() ||
                out.parts[out.done.size()].first != info.fileNumber)
                return damaged(lineNumber);
            info.path = out.parts[out.done.size()].second;
            out.done.push_back(std::move(info));
        } else if (TakeWord(line, "commit ")) {
            size_t count = 0;
            // A split always has its first part, the collect file itself.
            if (!TakeNumber(line, count, true) || count == 0 || count != out.parts.size() ||
                count != out.done.size() || out.parts[0].second != out.collectFile)
                return damaged(lineNumber);
            out.committed = true;
        } else {
            return damaged(lineNumber);
        }
    }
    return CKoError::Success();
}
