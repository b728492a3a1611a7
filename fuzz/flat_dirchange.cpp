// Fuzz target: the readers of flat DirChange files (the flat-file index's previous and current
// backing files, the flat DirChange file writer reopening a file to append), and the segment
// DirChange's reader of tree DirChange files, all fed the same bytes. Files live in memory.
//
// Checked beyond "no crash": every name the index hands out for a folder is answered as present
// by the previous-job question, and a reopened current file can still be compacted.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "core/Env.h"
#include "scan/dirchange/DirChangeItemFlags.h"
#include "scan/dirchange/FlatDirChangeFile.h"
#include "scan/dirchange/PathCacheFlatFileIndex.h"
#include "scan/dirchange/SymLinkDirChange.h"

namespace {

// Just enough of a file system, in memory, for the readers and writers under test.
class CMemoryEnv : public FXEnv {
public:
    std::map<std::string, std::shared_ptr<std::string>> files;

    CKoError NewSequentialFile(const std::string&, std::unique_ptr<FXSequentialFile>&, const FXOpenOptions&) override {
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_SUPPORTED);
    }
    CKoError NewRandomAccessFile(const std::string& path, std::unique_ptr<FXRandomAccessFile>& out,
                                 const FXOpenOptions&) override {
        auto it = files.find(path);
        if (it == files.end()) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_FILE_NOT_FOUND, "%s", path.c_str());
        out = std::make_unique<File>(it->second);
        return CKoError::Success();
    }
    CKoError NewWritableFile(const std::string& path, EWriteMode mode, std::unique_ptr<FXWritableFile>& out,
                             const FXOpenOptions&) override {
        auto& data = files[path];
        if (!data || mode == EWriteMode::Truncate) data = std::make_shared<std::string>();
        out = std::make_unique<File>(data);
        return CKoError::Success();
    }
    CKoError NewRandomRWFile(const std::string& path, bool create, std::unique_ptr<FXRandomRWFile>& out,
                             const FXOpenOptions&) override {
        auto it = files.find(path);
        if (it == files.end()) {
            if (!create) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_FILE_NOT_FOUND, "%s", path.c_str());
            it = files.emplace(path, std::make_shared<std::string>()).first;
        }
        out = std::make_unique<ReadWrite>(it->second);
        return CKoError::Success();
    }
    CKoError RenameFile(const std::string& from, const std::string& to) override {
        auto it = files.find(from);
        if (it == files.end()) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_FILE_NOT_FOUND, "%s", from.c_str());
        files[to] = it->second;
        files.erase(it);
        return CKoError::Success();
    }
    CKoError RemoveFile(const std::string& path) override {
        if (!files.erase(path)) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_FILE_NOT_FOUND, "%s", path.c_str());
        return CKoError::Success();
    }
    CKoError CreateDir(const std::string&, mode_t) override { return CKoError::Success(); }
    CKoError RemoveDir(const std::string&) override { return CKoError::Success(); }
    CKoError SyncDir(const std::string&) override { return CKoError::Success(); }
    CKoError GetChildren(const std::string&, std::vector<std::string>&) override { return CKoError::Success(); }
    CKoError Stat(const std::string& path, FXFileStat& st, bool) override {
        auto it = files.find(path);
        if (it == files.end()) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_FILE_NOT_FOUND, "%s", path.c_str());
        st = FXFileStat();
        st.size = it->second->size();
        st.inode = reinterpret_cast<uintptr_t>(it->second.get());
        return CKoError::Success();
    }
    CKoError LockFile(const std::string&, std::unique_ptr<FXFileLock>&) override {
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_SUPPORTED);
    }
    int64_t NowMicros() override { return 1; }

private:
    static void ReadAt(const std::string& data, uint64_t offset, char* buffer, size_t n, size_t& got) {
        got = offset < data.size() ? std::min<size_t>(n, data.size() - offset) : 0;
        if (got) std::memcpy(buffer, data.data() + offset, got);
    }
    struct File : FXRandomAccessFile, FXWritableFile {
        explicit File(std::shared_ptr<std::string> d) : data(std::move(d)) {}
        CKoError Read(uint64_t offset, char* buffer, size_t n, size_t& got) const override {
            ReadAt(*data, offset, buffer, n, got);
            return CKoError::Success();
        }
        CKoError Size(uint64_t& size) const override {
            size = data->size();
            return CKoError::Success();
        }
        CKoError Append(std::string_view bytes) override {
            data->append(bytes);
            return CKoError::Success();
        }
        CKoError Sync() override { return CKoError::Success(); }
        CKoError Close() override { return CKoError::Success(); }
        CKoError Truncate(uint64_t size) override {
            data->resize(std::min<uint64_t>(size, data->size()));
            return CKoError::Success();
        }
        uint64_t Size() const override { return data->size(); }
        std::shared_ptr<std::string> data;
    };
    struct ReadWrite : FXRandomRWFile {
        explicit ReadWrite(std::shared_ptr<std::string> d) : data(std::move(d)) {}
        CKoError Read(uint64_t offset, char* buffer, size_t n, size_t& got) const override {
            ReadAt(*data, offset, buffer, n, got);
            return CKoError::Success();
        }
        CKoError Write(uint64_t offset, std::string_view bytes) override {
            if (data->size() < offset + bytes.size()) data->resize(offset + bytes.size());
            std::memcpy(&(*data)[offset], bytes.data(), bytes.size());
            return CKoError::Success();
        }
        CKoError Truncate(uint64_t size) override {
            data->resize(size);
            return CKoError::Success();
        }
        CKoError Size(uint64_t& size) const override {
            size = data->size();
            return CKoError::Success();
        }
        CKoError Sync() override { return CKoError::Success(); }
        CKoError Close() override { return CKoError::Success(); }
        std::shared_ptr<std::string> data;
    };
};

using Flags = BDirChangeItemFlags;

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "flat_dirchange: %s\n", what);
        std::abort();
    }
}

void FuzzIndex(const std::string& bytes, CMemoryEnv& env) {
    env.files["/prev"] = std::make_shared<std::string>(bytes);
    CPathCacheFlatFileIndex index;
    index.SetIncludeFiles(true);
    index.SetPreviousBackingFileParser(std::make_shared<CDirChangeParser>());
    index.SetCurrentBackingFileParser(std::make_shared<CDirChangeParser>());
    index.SetItemInfoFormatter(std::make_shared<CDirChangeFormatter>());
    index.SetDirchangeCacheCapacity(2);
    if (index.SetPreviousBackingFile("/prev", nullptr).IsError()) return;
    // The same bytes as a restarted job's current file.
    env.files["/cur"] = std::make_shared<std::string>(bytes);
    const bool current = index.SetCurrentBackingFile("/cur", nullptr).IsSuccess();
    std::vector<std::string> folders;
    for (auto it = index.GetIterator(); !it.IsEnd(); ++it)
        if (it.GetNode()->GetData() && folders.size() < 200) folders.push_back(it.GetName().empty() ? "/" : it.GetName());
    for (const std::string& folder : folders) {
        FlatFileItemMapPtr items;
        if (index.GetPreviousItems(folder, items).IsError()) continue;
        size_t asked = 0;
        for (const auto& entry : *items) {
            if (++asked > 20) break;
            const std::string path = (folder == "/" ? "" : folder) + "/" + entry.first;
            Check(index.IsItemInPreviousJob(path, Flags::PD_FILE), "a name read from a folder's blocks is not in it");
        }
        index.IsItemInPreviousJob(folder + "/\x01none", Flags::PD_FILE);
        if (current) {
            FlatFileIndexFileItemMap files;
            files.emplace("added", CFlatFileIndexFileItem(ZY_HERE, "fuzz"));
            index.AddCurrentFolder(folder, ZY_HERE, "fuzz", files).IgnoreError();
            index.CopyBlockFromPrevDCToCurDC(folder).IgnoreError();
        }
    }
    if (current) {
        if (!folders.empty()) index.DeleteCurrentFolder(folders.back(), ZY_HERE, "fuzz").IgnoreError();
        index.UpdateCurrentDirChangeFile().IgnoreError();
        for (const std::string& folder : folders) index.IsItemInCurrentDirChange(folder + "/added", Flags::CD_FILE);
    }
}

void FuzzSegments(const std::string& bytes, CMemoryEnv& env) {
    env.files["/tree"] = std::make_shared<std::string>(bytes);
    SymLinkDirChange dc;
    if (dc.LoadFile("/tree", nullptr).IsError()) return;
    size_t asked = 0;
    for (auto it = CPathCacheOrderedTNodeIterator<PathCacheNodePtr>(std::string(), dc.GetTrie().GetRoot(), '/', true);
         !it.IsEnd() && asked < 200; ++it, ++asked) {
        const PathCacheNode* node = it.GetNode()->GetData().get();
        if (!node) continue;
        std::set<std::string> names;
        if (node->GetPreviousRegistry().ReadNames("/tree", names).IsError()) continue;
        const std::string folder = it.GetName().empty() ? "" : it.GetName();
        for (const std::string& name : names) {
            bool found = false;
            Check(dc.LookupFile(folder + "/" + name, true, found).IsSuccess() && found, "a segment's name is not found");
            break;
        }
    }
    FileRegistry::clearCache();
}

void FuzzFlatFile(const std::string& bytes, CMemoryEnv& env) {
    env.files["/active"] = std::make_shared<std::string>(bytes);
    CFlatDirChangeFile file(1, "/active", "/final", "a");
    if (!file.IsOpen()) return;
    file.RawWriteFolder("/x").IgnoreError();
    file.RawWriteItem("y").IgnoreError();
    Check(file.Compact(true).IsSuccess(), "a reopened flat DirChange file cannot be compacted");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static CMemoryEnv* env = new CMemoryEnv();
    FXScopedEnv scope(env);
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    FuzzIndex(bytes, *env);
    FuzzSegments(bytes, *env);
    FuzzFlatFile(bytes, *env);
    env->files.clear();
    return 0;
}
