// The record of one collect-file split (the collect file's name + "_split"): which parts were
// created, which are complete, and whether all of them are ("commit"). Each record line is
// appended and synced before the step it announces, so after a crash the record names every part
// that may exist. Lines are "FlatCollectSplit 1 <collect file>", "part <n> <path>",
// "done <n> <size> <lines>" and "commit <parts>"; paths are escaped and come last on their line.
// A last line without its line feed was torn by a crash and does not count.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/Env.h"
#include "core/KoError.h"
#include "scan/collect/FlatCollectFileSplit.h"

class CFlatCollectSplitRecord {
public:
    struct SContent {
        std::string collectFile;
        std::vector<std::pair<int, std::string>> parts;  // in creation order
        std::vector<SplitFileInfo> done;                 // paths filled in from `parts`
        bool committed = false;
    };

    // Creates the record (it must not exist) and makes it durable, folder entry included.
    CKoError Create(const std::string& recordPath, const std::string& collectFile);
    // Durable before it returns: call before creating the part.
    CKoError AddPart(int number, const std::string& path);
    CKoError PartDone(const SplitFileInfo& info);
    // Durable before it returns: every part must be complete and synced before.
    CKoError Commit(size_t parts);
    // After a failed Commit: cuts the record back to before the commit line, durably, so that the
    // split can be rolled back. A failure here means the commit may stand.
    CKoError Uncommit();
    void Close();

    // `exists` is false (and `out` empty) when there is no record. A complete line that makes no
    // sense is Win32 13: nothing is decided on a record that cannot be read.
    static CKoError Read(const std::string& recordPath, SContent& out, bool& exists);

private:
    CKoError Write(const std::string& line, bool sync);

    std::unique_ptr<FXWritableFile> m_file;
    std::string m_path;
    uint64_t m_sizeBeforeCommit = 0;
};
