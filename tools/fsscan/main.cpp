// fsscan: runs scan jobs of the Scan library on real directory trees.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "Commands.h"
#include "core/LogWriter.h"
#include "scan/Version.h"

namespace {

void PrintHelp(FILE* out) {
    std::fprintf(out,
                 "usage: fsscan <command> [options]\n"
                 "\n"
                 "commands:\n"
                 "  scan     scan content into a job-results folder (full or incremental)\n"
                 "  list     print what the last scan collected\n"
                 "  backup   copy what the last scan collected into a mirror folder\n"
                 "  filters  print the content, filters, exceptions and readers a scan would use\n"
                 "  restore  restore what the backups kept into a folder\n"
                 "  trueup   compare what the backups hold with the content, and repair\n"
                 "  commit   keep what a stopped backup read; the next scan collects the rest\n"
                 "  status   print the job history of a job-results folder\n"
                 "\n"
                 "Run 'fsscan <command> --help' for a command's options. The log goes to standard\n"
                 "error, or to the file $SCAN_LOG_FILE, at level $SCAN_LOG_LEVEL (default 0).\n");
}

void SetUpLog() {
    const char* levelText = std::getenv("SCAN_LOG_LEVEL");
    int level = levelText ? std::atoi(levelText) : 0;
    const char* file = std::getenv("SCAN_LOG_FILE");
    std::shared_ptr<CLogWriter> writer = file && *file ? std::make_shared<CLogWriter>(level, file)
                                                       : std::make_shared<CLogWriter>(level);
    if (writer->Open().IsError()) writer = std::make_shared<CLogWriter>(level);
    g_ptrLogWriter = writer;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        PrintHelp(stderr);
        return 2;
    }
    std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        PrintHelp(stdout);
        return 0;
    }
    if (command == "--version") {
        std::printf("fsscan %s\n", ScanLibraryVersion());
        return 0;
    }
    SetUpLog();
    if (command == "scan") return RunScanCommand(argc - 2, argv + 2);
    if (command == "list") return RunListCommand(argc - 2, argv + 2);
    if (command == "backup") return RunBackupCommand(argc - 2, argv + 2);
    if (command == "filters") return RunFiltersCommand(argc - 2, argv + 2);
    if (command == "restore") return RunRestoreCommand(argc - 2, argv + 2);
    if (command == "trueup") return RunTrueUpCommand(argc - 2, argv + 2);
    if (command == "commit") return RunCommitCommand(argc - 2, argv + 2);
    if (command == "status") return RunStatusCommand(argc - 2, argv + 2);
    std::fprintf(stderr, "fsscan: unknown command '%s'\n", command.c_str());
    PrintHelp(stderr);
    return 2;
}
