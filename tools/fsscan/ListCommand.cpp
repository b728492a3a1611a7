#include "Commands.h"

#include <cstdio>

#include "scan/job/CollectLine.h"
#include "CommandLine.h"
#include "scan/job/ContentScope.h"
#include "scan/job/JobFileGuard.h"
#include "scan/job/JobState.h"
#include "core/Path.h"
#include "scan/collect/CollectFileReader.h"

namespace {

void PrintListHelp(FILE* out) {
    std::fprintf(out,
                 "usage: fsscan list --results DIR [-0]\n"
                 "\n"
                 "Prints what the last scan of DIR collected: \"+ PATH\" for an item to back up\n"
                 "(folders end in \"/\"), \"- PATH\" for a deleted item and \"- PATH/\" for a deleted\n"
                 "folder with everything below it. With -0 items end with NUL, not a line feed.\n");
}

CKoError ListCollectFile(const std::string& path, uint64_t expectedSize, const CContentScope& scope, char terminator,
                         uint64_t& unreadable) {
    uint64_t size = 0;
    CKoError e = CJobFileGuard::CheckCollectFile(path, expectedSize, size);
    if (e.IsError()) return e.Push(ZY_HERE);
    CCollectFileReader reader(path);
    reader.SetHasStartCharacters(false);
    e = reader.OpenCollectFile();
    if (e.IsError()) return e.Push(ZY_HERE);
    std::string name;
    SCollectLine line;
    bool insideLongLine = false;
    for (;;) {
        e = reader.GetNextLine(name);
        if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_NO_MORE_ITEMS)) return CKoError::Success();
        if (e.IsError()) return e.Push(ZY_HERE, "Cannot read collect file, FileName=[%s]", path.c_str());
        // A line too long for the reader comes in pieces: none of them is an item.
        const std::string& original = reader.GetCurrentOriginalLine();
        const bool wholeLine = !original.empty() && original.back() == '\n';
        const bool piece = insideLongLine || !wholeLine;
        if (piece && !insideLongLine) ++unreadable;
        insideLongLine = !wholeLine;
        if (piece) continue;
        // What the backup would refuse is not shown as an item either.
        if (!ParseCollectLine(name, line) || scope.Refusal(line)) {
            ++unreadable;
            continue;
        }
        std::fputs(line.kind == ECollectLineKind::Item ? "+ " : "- ", stdout);
        std::fwrite(line.path.data(), 1, line.path.size(), stdout);
        if (line.folder && line.path != "/") std::fputc('/', stdout);
        std::fputc(terminator, stdout);
    }
}

}  // namespace

int RunListCommand(int argc, char** argv) {
    CCommandLine cl;
    if (!cl.Parse(argc, argv, {"--results"}, {"-0", "--help", "-h"})) {
        std::fprintf(stderr, "fsscan list: %s\n", cl.Error().c_str());
        PrintListHelp(stderr);
        return 2;
    }
    if (cl.Has("--help") || cl.Has("-h")) {
        PrintListHelp(stdout);
        return 0;
    }
    std::string results = cl.Get("--results");
    if (results.empty()) {
        std::fprintf(stderr, "fsscan list: --results is required\n");
        return 2;
    }
    CScanJobState state;
    CKoError e = state.Load(results);
    if (e.IsError()) {
        std::fprintf(stderr, "fsscan list: %s\n", e.AsString().c_str());
        return 2;
    }
    if (!state.hasLastScan) {
        std::fprintf(stderr, "fsscan list: no scan has completed in %s\n", results.c_str());
        return 2;
    }
    uint64_t unreadable = 0;
    const SScanRecord& scan = state.lastScan;
    const CContentScope scope(scan.contentRoots, scan.formerRoots);
    for (size_t i = 0; i < scan.collectFiles.size(); ++i) {
        e = ListCollectFile(state.PathOf(results, scan.collectFiles[i]), i < scan.collectSizes.size() ? scan.collectSizes[i] : 0, scope,
                            cl.Has("-0") ? '\0' : '\n', unreadable);
        if (e.IsError()) {
            std::fflush(stdout);
            std::fprintf(stderr, "fsscan list: %s\n", e.AsString().c_str());
            return 2;
        }
    }
    if (std::fflush(stdout) != 0) return 2;
    if (unreadable) {
        std::fprintf(stderr, "fsscan list: %llu lines were not items\n", static_cast<unsigned long long>(unreadable));
        return 1;
    }
    return 0;
}
