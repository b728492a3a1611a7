// Writes the seed corpora of the fuzz targets from files the code itself writes: a real scan, an
// incremental scan and a backup of a small tree, and the collect, DirChange, restart-map and
// scan-error writers driven directly. Run it after a change of a file format and commit what it
// writes:
//
//     build/asan/fuzz/scan-fuzz-seeds fuzz/corpus
//
// Each seed is "gen-<what>"; hand-made edge cases sit beside them under other names. Targets
// whose first input byte holds options get that byte in front of the file.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "scan/job/BackupJob.h"
#include "FuzzSupport.h"
#include "scan/job/JobState.h"
#include "scan/job/ScanJob.h"
#include "core/File.h"
#include "core/Path.h"
#include "core/StringUtil.h"
#include "scan/collect/BasicCollectFile.h"
#include "scan/collect/BrimCollectLineFormatter.h"
#include "scan/collect/StartCharacterCollectLineFormatter.h"
#include "scan/dirchange/DirChangeFileFormat.h"
#include "scan/dirchange/DirChangeFormatter.h"
#include "scan/dirchange/DirChangeItemData.h"
#include "scan/jobstate/ScanErrorFileHandler.h"

namespace {

std::string g_corpus;

void Shell(const std::string& command) {
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "scan-fuzz-seeds: %s failed\n", command.c_str());
}

void Check(const CKoError& e, const char* what) {
    if (e.IsSuccess()) return;
    std::fprintf(stderr, "scan-fuzz-seeds: %s: %s\n", what, e.AsString().c_str());
    std::exit(1);
}

std::string Read(const std::string& path) {
    std::string text;
    Check(FXFile::ReadWholeFile(path, text), path.c_str());
    return text;
}

void Seed(const std::string& target, const std::string& name, const std::string& content) {
    const std::string folder = g_corpus + "/" + target;
    Check(FXFile::CreateFoldersIteratively(folder), folder.c_str());
    Check(FXFile::WriteFileAtomically(folder + "/gen-" + name, content), name.c_str());
}

void WriteFile(const std::string& path, const std::string& content) {
    Check(FXFile::WriteFileAtomically(path, content), path.c_str());
}

// A small tree with the names that trouble line formats: spaces, "|", "%", a line feed, "?" at
// the end, control bytes, bytes that are not UTF-8.
void MakeTree(const std::string& root) {
    for (const char* folder : {"", "/docs", "/docs/old", "/odd|names", "/odd|names/deep", "/x"})
        Check(FXFile::CreateFoldersIteratively(root + folder), folder);
    const char* files[] = {"/a.txt",          "/docs/report 2024.txt", "/docs/old/100%.txt",
                           "/odd|names/nl\nx", "/odd|names/what?",      "/odd|names/\x01" "ctl",
                           "/odd|names/\xff\xfe", "/odd|names/deep/\xc3\xa9t\xc3\xa9", "/x/y"};
    for (const char* file : files) WriteFile(root + file, std::string("content of ") + file);
}

void RealJobs(const std::string& work) {
    const std::string tree = work + "/tree", results = work + "/results", dest = work + "/dest";
    MakeTree(tree);
    Check(FXFile::CreateFoldersIteratively(results), "results");

    SScanJobOptions full;
    full.contents = {tree};
    full.resultsDir = results;
    full.incremental = false;
    Check(CScanJob(full).Run(), "full scan");
    const std::string collect = Read(results + "/J1/CollectTot1.zyf");
    // fsscan reads its collect files without start characters (option byte 0).
    Seed("collect_reader", "fsscan-full", std::string(1, '\0') + collect);
    Seed("collect_sort", "fsscan-full", std::string(1, '\0') + collect);
    Seed("dirchange_tree", "fsscan-full-files", "\x01" + Read(results + "/J1/DCTmp.zyf"));
    Seed("dirchange_lines", "fsscan-full", "\x03" + Read(results + "/J1/DCTmp.zyf"));
    Seed("collect_info", "fsscan-full", Read(results + "/J1/CollectInfoTot.zyf"));
    Seed("job_state", "fsscan-full", Read(results + "/" + CScanJobState::kFileName));
    Seed("xml_document", "fsscan-job-state", Read(results + "/" + CScanJobState::kFileName));
    Seed("xml_document", "fsscan-collect-info", Read(results + "/J1/CollectInfoTot.zyf"));

    SBackupJobOptions backup;
    backup.resultsDir = results;
    backup.dest = dest;
    backup.checkpointItems = 1;
    Check(CBackupJob(backup).Run(), "backup");
    std::string map = Read(results + "/J1/CollectMap_Tot.zyf");
    FXString::ReplaceAll(map, results, "{JR}");
    Seed("restart_map", "fsscan-backup-full", "\x01" + map);

    // Deletions (one file, one folder with what it holds) and a new file for the incremental job.
    ::unlink((tree + "/x/y").c_str());
    ::rmdir((tree + "/x").c_str());
    ::unlink((tree + "/docs/old/100%.txt").c_str());
    WriteFile(tree + "/docs/new.txt", "new");
    SScanJobOptions inc = full;
    inc.incremental = true;
    inc.includeFiles = false;
    Check(CScanJob(inc).Run(), "incremental scan");
    const std::string incCollect = Read(results + "/J2/CollectInc1.zyf");
    Seed("collect_reader", "fsscan-inc", std::string(1, '\0') + incCollect);
    Seed("dirchange_tree", "fsscan-inc-folders", std::string(1, '\0') + Read(results + "/J2/DCTmp.zyf"));
    Seed("job_state", "fsscan-inc", Read(results + "/" + CScanJobState::kFileName));
}

// Collect files as the agent's scans write them: start characters, both line forms, tags.
void FormatterCollects(const std::string& work) {
    auto write = [&](const char* name, CStartCharacterCollectLineFormatter& f, char options) {
        const std::string path = work + "/" + name;
        CBasicCollectFile file;
        file.SetOutputFilePath(path);
        file.SetIsFullBackup(true);
        file.SetAddAncestorPaths(true);
        Check(file.OpenOutputFile(false), name);
        CCollectFileFolderEntry folder("/data/docs", ZY_HERE, "new folder", false);
        Check(file.AddEntry(folder, f), "folder");
        CCollectFileFileEntry sized("/data/docs/a.txt", ZY_HERE, "modified|time\r\n", uint64_t{12345});
        sized.SetCheckSum("0123abcd");
        sized.SetStripLevel(2);
        Check(file.AddEntry(sized, f), "file");
        CCollectFileFileEntry uncounted("/data/docs/b%7C.txt", ZY_HERE, "new", true);
        uncounted.SetPseudoPath("/pseudo/b");
        uncounted.SetAdhocItem(true);
        uncounted.SetCxHdrHideInBrowse(true);
        Check(file.AddEntry(uncounted, f), "file");
        Check(file.Close(), name);
        const std::string text = Read(path);
        Seed("collect_reader", name, std::string(1, options) + text);
        Seed("collect_sort", name, std::string(1, options % 3) + text);
    };
    auto info = std::make_shared<CStartCharacterCommonInfo>();
    info->scanJobType = EScanJobType(EScanJobType::FILE_SYSTEM);
    CStartCharacterCollectLineFormatter shortForm(info, false, true, true);
    write("short-form", shortForm, 1);

    auto brimInfo = std::make_shared<CStartCharacterCommonInfo>();
    brimInfo->scanJobType = EScanJobType(EScanJobType::BRIM_SYNC);
    brimInfo->addDiagnosticTags = true;
    brimInfo->hasItemSuffixNumber = true;
    brimInfo->itemSuffixNumber = 7;
    CBrimCollectLineFormatter brim(brimInfo, '*', 'c', 'D');
    brim.SetBrimMoved(true);
    brim.SetBrimParentGuid("{guid}");
    brim.SetBrimRealPath("/real/path");
    brim.SetUsn(99);
    brim.SetBrimNew(true);
    brim.SetFileSize(4096);
    brim.SetFRN(0xFFFFFFFFFFFFFFFFull);
    brim.SetMTime(1700000000);
    brim.SetPxDataOffset("-5");
    brim.SetPxDataSize("0x10");
    brim.SetBackupAtPath("/bap");
    brim.SetSourceVolumePath("/vol");
    brim.SetJobResultsDir("/writer/jr");
    brim.SetWellKnownFolderMetadata("%WKF%");
    brim.SetFolderDepth(3);
    write("brim-extended", brim, 1 | 4);

    auto cloudInfo = std::make_shared<CStartCharacterCommonInfo>();
    cloudInfo->scanJobType = EScanJobType(EScanJobType::SOLR_CLOUD_BACKUP);
    CStartCharacterCollectLineFormatter cloud(cloudInfo, '?', 's', 'p');
    cloud.SetTagsToBePreserved("|<DIR>|<BHO>|<MA>");
    write("cloud-preserved-tags", cloud, 1 | 2);
}

// A flat DirChange file as the flat store writes it, with the DirChange formatter's fields.
void FlatDirChange() {
    std::string text(CDirChangeFileFormat::kFlatFileHeader);
    const CDirChangeFormatter formatter;
    auto fields = [&](uint64_t id, int frequency, bool selective, bool added, bool deleted) {
        auto item = std::make_shared<CDirChangeItemDataImpl>(id, static_cast<eDirChangeItemBackupFrequency>(frequency),
                                                             selective);
        item->SetIsAddedToCollect(added);
        item->SetIsDeleted(deleted);
        return formatter.GetFormattedData(item);
    };
    CDirChangeFileFormat::AppendFlatFolderLine(text, "/data", true, fields(0x1234, 0, false, false, false));
    CDirChangeFileFormat::AppendFlatFileLine(text, "a|b.txt", true, fields(42, 3, true, true, false));
    CDirChangeFileFormat::AppendFlatFileLine(text, "gone", false, fields(0, 0, false, false, true));
    std::string decision;
    CDirChangeFileFormat::AppendDecisionPointFields(decision, "2024-01-01 00:00:00", ZY_HERE, "new");
    CDirChangeFileFormat::AppendFlatFileLine(text, "\xc3\xa9t\xc3\xa9", true, fields(7, 15, false, true, false), decision);
    CDirChangeFileFormat::AppendFlatFolderLine(text, "//server/share/dir", true, fields(0, 1, false, false, false));
    CDirChangeFileFormat::AppendFlatFileLine(text, "x", false, std::string());
    Seed("dirchange_flat", "flat-decoded", "\x85" + text);
    Seed("dirchange_flat", "flat-raw", "\x02" + text);

    std::string tree;
    CDirChangeFileFormat::AppendTreeFolderLine(tree, "/data/");
    CDirChangeFileFormat::AppendTreeFileLine(tree, "a.txt");
    CDirChangeFileFormat::AppendTreeFolderLine(tree, "//server/share/dir/");
    CDirChangeFileFormat::AppendTreeFileLine(tree, "b");
    Seed("dirchange_tree", "tree-unc", "\x01" + std::string(CDirChangeFileFormat::kVersionLine) + "\n" + tree);
    Seed("dirchange_lines", "tree-unc", "\x00" + tree);
}

void ScanErrors(const std::string& work) {
    const std::string folder = work + "/errors";
    Check(FXFile::CreateFoldersIteratively(folder), "errors");
    CScanErrorFileHandler handler(folder);
    CScanErrorFileData record;
    record.messageId = CBackupJob::kItemUnreadableMessageId;
    record.arguments = "/data/unreadable|Permission denied";
    record.jobStatus = 14;
    Check(handler.WriteMessage(record), "scan error");
    record.messageId = 0x1100010A;
    record.arguments = "";
    record.jobStatus = 3;
    Check(handler.WriteMessage(record), "scan error");
    record.arguments = "line\nfeed|carriage\rreturn||";
    record.jobStatus = 1;
    Check(handler.WriteMessage(record), "scan error");
    Seed("scan_error", "three-records", Read(handler.GetFilePath()));
}

// The structured target reads its choices from the bytes; any bytes are a program.
void CollectLinePrograms() {
    std::mt19937 rng(20240611);
    for (int i = 0; i < 8; ++i) {
        std::string bytes(64 + 48 * i, '\0');
        for (char& c : bytes) c = static_cast<char>(rng());
        Seed("collect_line", "random-" + std::to_string(i), bytes);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: scan-fuzz-seeds CORPUS_FOLDER\n");
        return 2;
    }
    g_corpus = argv[1];
    fuzzsupport::Setup();
    g_ptrLogWriter.reset();
    // Seeds of an earlier run go; hand-made ones stay.
    std::vector<std::string> targets;
    Check(FXFile::GetMatchingFiles(g_corpus, "*", targets), "corpus folder");
    for (const std::string& target : targets)
        FXFile::DeleteMatchingFiles(g_corpus + "/" + target, "gen-*").IgnoreError();
    // A fixed, short folder, so that the paths in the seeds stay the same from run to run.
    const std::string work = "/tmp/scan-fuzz-seeds";
    Shell("rm -rf " + work);
    Check(FXFile::CreateFoldersIteratively(work), "work");
    RealJobs(work);
    FormatterCollects(work);
    FlatDirChange();
    ScanErrors(work);
    CollectLinePrograms();
    Shell("rm -rf " + work);
    std::printf("scan-fuzz-seeds: seeds written under %s\n", g_corpus.c_str());
    return 0;
}
