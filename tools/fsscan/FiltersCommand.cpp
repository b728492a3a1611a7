// "fsscan filters": what a job of the given options would take in and leave out, each filter and
// exception with its source, and the number of data readers with the reason.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "Commands.h"
#include "JobSetupOptions.h"
#include "core/File.h"

namespace {

void PrintFiltersHelp(FILE* out) {
    std::fprintf(out,
                 "usage: fsscan filters (--subclient FILE | --content PATH ...) [--results DIR]\n"
                 "                      [--filter PATTERN ...] [--exception PATTERN ...] [--no-system-filters]\n"
                 "                      [--level full|incremental]\n"
                 "\n"
                 "Prints the content, the effective filters and exceptions (each with its source: user,\n"
                 "command line, or system:<source>) and the number of data readers with the reason.\n"
                 "DIR is the job-results folder, where the subclient's local copy is kept (without it\n"
                 "no copy is kept).\n"
                 "%s",
                 CJobSetupOptions::Usage());
}

}  // namespace

int RunFiltersCommand(int argc, char** argv) {
    CCommandLine cl;
    std::vector<std::string> valued{"--results", "--level"}, flags{"--help", "-h"};
    valued.insert(valued.end(), CJobSetupOptions::Valued().begin(), CJobSetupOptions::Valued().end());
    flags.insert(flags.end(), CJobSetupOptions::Flags().begin(), CJobSetupOptions::Flags().end());
    if (!cl.Parse(argc, argv, valued, flags)) {
        std::fprintf(stderr, "fsscan filters: %s\n", cl.Error().c_str());
        PrintFiltersHelp(stderr);
        return 2;
    }
    if (cl.Has("--help") || cl.Has("-h")) {
        PrintFiltersHelp(stdout);
        return 0;
    }
    std::string why;
    const std::string level = cl.Get("--level", "incremental");
    if (!CJobSetupOptions::Check(cl, why) || (level != "full" && level != "incremental")) {
        std::fprintf(stderr, "fsscan filters: %s\n", why.empty() ? "--level is full or incremental" : why.c_str());
        return 2;
    }
    // Without a job-results folder the server is asked and no local copy is kept: the copy goes
    // to a scratch folder, removed at the end.
    std::string results = cl.Get("--results"), scratch;
    if (results.empty()) {
        char name[] = "/tmp/fsscan-filters-XXXXXX";
        if (::mkdtemp(name)) scratch = results = name;
    }
    CSubclientJobSetup setup;
    CKoError e = CJobSetupOptions::Load(cl, results, level == "full", setup);
    if (!scratch.empty()) {
        FXFile::DeleteMatchingFiles(scratch, "*").IgnoreError();
        ::rmdir(scratch.c_str());
    }
    if (e.IsError()) {
        std::fprintf(stderr, "fsscan: %s\n", e.AsString().c_str());
        return 2;
    }
    std::vector<std::string> lines;
    setup.Describe(lines);
    for (const std::string& line : lines) std::printf("%s\n", line.c_str());
    for (const auto& [entry, reason] : setup.Filters().Skipped())
        std::printf("skipped    %s  %s: %s\n", CEffectiveFilters::Printable(entry.pattern).c_str(), entry.source.c_str(),
                    CEffectiveFilters::Printable(reason).c_str());
    return 0;
}
