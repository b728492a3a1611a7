// A tree DirChange file of arbitrary bytes loaded as the previous job's DirChange. The first byte
// chooses whether files are tracked; the rest is the file.
//
// Any bytes load. Carried forward whole, the loaded items leave nothing deleted, and the current
// DirChange written from them settles: loaded and carried forward again, it is written the same,
// byte for byte (after one round that settles paths damaged input names as file and folder).
#include <cstdio>
#include <string>

#include "FuzzSupport.h"
#include "core/File.h"
#include "scan/dirchange/DirChange.h"

namespace {

std::string ReadBack(const std::string& path) {
    std::string text;
    FUZZ_CHECK(FXFile::ReadWholeFile(path, text).IsSuccess());
    return text;
}

// Loads `input`, carries everything forward and writes the current DirChange to `output`; with
// `checkOutputs` also the deleted items and the collect file, which must be empty.
std::string LoadAndRewrite(const std::string& input, const std::string& output, bool includeFiles,
                           bool checkOutputs) {
    CDirChange dirChange;
    dirChange.SetIncludeFiles(includeFiles);
    FUZZ_CHECK(dirChange.LoadFile(input, nullptr).IsSuccess());
    FUZZ_CHECK(dirChange.IsPreviousDirChangeLoaded());
    FUZZ_CHECK(dirChange.CarryForward("/").IsSuccess());
    FUZZ_CHECK(dirChange.IdentifyIntermediateNodes().IsSuccess());
    if (checkOutputs) {
        const std::string deleted = fuzzsupport::ScratchPath("Deleted.zyf");
        FXFileHandle file;
        FUZZ_CHECK(FXFile::zyfopen(deleted, "wb", file).IsSuccess());
        FUZZ_CHECK(dirChange.WriteDeletedItems(file.Get(), true).IsSuccess());
        FUZZ_CHECK(file.Close().IsSuccess());
        FUZZ_CHECK(ReadBack(deleted).empty());
        int64_t collected = -1;
        FUZZ_CHECK(dirChange.WriteCurrentCollectFile(fuzzsupport::ScratchPath("Collect.zyf"), collected).IsSuccess());
        FUZZ_CHECK(collected == 0);
        FUZZ_CHECK(dirChange.GetMemoryUsed() > 0);
        dirChange.DumpDiagnosticData();
    }
    FUZZ_CHECK(dirChange.WriteCurrentDirChangeFile(output).IsSuccess());
    return ReadBack(output);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::Setup();
    if (size == 0) return 0;
    const bool includeFiles = data[0] & 1;
    const std::string input = fuzzsupport::WriteScratchFile("DCTot.zyf", data + 1, size - 1);

    // Without a carry forward every loaded item is deleted; the listing must not trip on any.
    {
        CDirChange dirChange;
        dirChange.SetIncludeFiles(includeFiles);
        FUZZ_CHECK(dirChange.LoadFile(input, nullptr).IsSuccess());
        dirChange.DumpDeletedItems();
        FXFileHandle file;
        FUZZ_CHECK(FXFile::zyfopen(fuzzsupport::ScratchPath("Deleted.zyf"), "wb", file).IsSuccess());
        FUZZ_CHECK(dirChange.WriteDeletedItems(file.Get(), data[0] & 2).IsSuccess());
    }

    // Damaged input can name one path both as a folder and as a file; the DirChange written from
    // it has both lines, and which one wins on the next load depends on their order. From the
    // second round on, what is written loads back the same.
    LoadAndRewrite(input, fuzzsupport::ScratchPath("DC1.zyf"), includeFiles, true);
    const std::string second =
        LoadAndRewrite(fuzzsupport::ScratchPath("DC1.zyf"), fuzzsupport::ScratchPath("DC2.zyf"), includeFiles, false);
    const std::string third =
        LoadAndRewrite(fuzzsupport::ScratchPath("DC2.zyf"), fuzzsupport::ScratchPath("DC3.zyf"), includeFiles, false);
    FUZZ_CHECK(second == third);
    return 0;
}
