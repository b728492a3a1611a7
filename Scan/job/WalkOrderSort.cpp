#include "scan/job/WalkOrderSort.h"

#include "agent/KoBatchSort.h"
#include "core/BufferedWritableFile.h"
#include "core/Env.h"
#include "core/LineReader.h"
#include "scan/Unix/CollectFileEncode.h"

namespace {

// A key is the line's path, unescaped, with 0x02 for each separator, 0x03 and b + 0x20 for a byte
// b <= 0x0D and every other byte as it is; then 0x01 and the line itself. So a path sorts before its
// extensions ("a" < "a b"), and a folder's entries ("a/...") come right after it, before its
// siblings ("a b", "a-b", "a.b"), as the names of a folder are walked in byte order.
constexpr char kEnd = '\x01', kSeparator = '\x02', kEscape = '\x03';
// Lines that are not paths sort after every path, in their own order.
constexpr char kOther = '\xFF';

// Bytes up to 0x0D (line ends among them, which a key must not hold) are escaped, in order.
constexpr unsigned char kHighestEscaped = 0x0D;

void Put(std::string& key, char c) {
    if (static_cast<unsigned char>(c) <= kHighestEscaped) {
        key.push_back(kEscape);
        c = static_cast<char>(c + 0x20);
    }
    key.push_back(c);
}

CKoError RemoveIfThere(const std::string& path) {
    CKoError e = FXEnv::Current()->RemoveFile(path);
    if (e.IsError() && !FXErrorUtil::IsWin32(e, ZyWin32::ERROR_FILE_NOT_FOUND)) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError Transform(const std::string& from, const std::string& to, bool encode) {
    FXLineReader reader;
    CKoError e = reader.Open(from, 1 << 20);
    if (e.IsError()) return e.Push(ZY_HERE);
    FXBufferedWritableFile out(1 << 20);
    e = out.Open(to, EWriteMode::Truncate);
    if (e.IsError()) return e.Push(ZY_HERE);
    std::string converted;
    for (;;) {
        std::string_view line;
        bool got = false;
        e = reader.Next(line, got);
        if (e.IsError() || !got) break;
        if (encode) {
            CWalkOrderSort::Encode(line, converted);
        } else if (!CWalkOrderSort::Decode(line, converted)) {
            e = FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "A sort key of [%s] cannot be read back",
                                        from.c_str());
            break;
        }
        e = out.AppendLine(converted);
        if (e.IsError()) break;
    }
    if (e.IsError()) {
        out.Abandon();
        return e.Push(ZY_HERE, "Cannot write [%s]", to.c_str());
    }
    e = out.Close();
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot write [%s]", to.c_str());
    return CKoError::Success();
}

}  // namespace

void CWalkOrderSort::Encode(std::string_view line, std::string& key) {
    key.clear();
    key.reserve(2 * line.size() + 8);
    if (line.empty() || line[0] != '/') {
        key.push_back(kOther);
    } else {
        // The path as the walk saw it: unescaped ("x%7Cy" is "x|y", which sorts after "xa").
        const std::string path = decodeFileName(std::string(line.substr(0, line.find('|'))).c_str());
        for (char c : path) {
            if (c == '/')
                key.push_back(kSeparator);
            else
                Put(key, c);
        }
    }
    key.push_back(kEnd);
    key.append(line);
}

bool CWalkOrderSort::Decode(std::string_view key, std::string& line) {
    for (size_t i = 0; i < key.size(); ++i) {
        if (key[i] == kEscape) {
            ++i;
        } else if (key[i] == kEnd) {
            line.assign(key.substr(i + 1));
            return true;
        }
    }
    return false;
}

CKoError CWalkOrderSort::SortFile(const std::string& path, const std::string& scratch) {
    const std::string keys = scratch + "_keys", sorted = scratch + "_sorted", work = scratch + "_work";
    KoBatchSort sorter;
    CKoError e = Transform(path, keys, true);
    if (e.IsSuccess()) e = sorter.Sort(keys, sorted, work);
    if (e.IsSuccess()) e = RemoveIfThere(keys);
    if (e.IsSuccess()) e = Transform(sorted, path, false);
    RemoveIfThere(keys).IgnoreError();
    RemoveIfThere(sorted).IgnoreError();
    FXEnv::Current()->RemoveDir(work).IgnoreError();
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot put collect file [%s] in walk order", path.c_str());
    return CKoError::Success();
}
