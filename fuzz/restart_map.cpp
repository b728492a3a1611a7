// A restart map (the collect map of a job) of arbitrary bytes, loaded as a restarted job loads it.
// The first byte chooses the full or the incremental map; the rest is the file, in which "{JR}"
// stands for the job-results folder (version-0 maps name their collect files by full path).
//
// Any bytes load or fail cleanly. A map that loads is flushed and loads back to the same entries
// in the same order; an entry added after the load gets an id no loaded entry has.
#include <string>
#include <utility>
#include <vector>

#include "FuzzSupport.h"
#include "core/StringUtil.h"
#include "scan/jobstate/RestartMapFileHandler.h"

namespace {

using Entries = std::vector<std::pair<unsigned, CRestartMapFileEntry>>;

std::vector<CRestartMapFileEntry> WithoutIds(const Entries& entries) {
    std::vector<CRestartMapFileEntry> out;
    for (const auto& [id, entry] : entries) out.push_back(entry);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::Setup();
    if (size == 0) return 0;
    const bool isFull = data[0] & 1;
    const std::string& folder = fuzzsupport::ScratchDir();
    std::string content(reinterpret_cast<const char*>(data + 1), size - 1);
    FXString::ReplaceAll(content, "{JR}", folder);
    fuzzsupport::ClearScratchDir();
    fuzzsupport::WriteScratchFile(isFull ? "CollectMap_Tot.zyf" : "CollectMap_lnc.zyf", content);

    CRestartMapFileHandler loaded;
    if (loaded.Init(folder, isFull, false).IsError()) return 0;
    Entries entries;
    FUZZ_CHECK(loaded.PopulateEntries(entries).IsSuccess());

    FUZZ_CHECK(loaded.FlushToFile().IsSuccess());
    CRestartMapFileHandler reloaded;
    FUZZ_CHECK(reloaded.Init(folder, isFull, false).IsSuccess());
    Entries again;
    FUZZ_CHECK(reloaded.PopulateEntries(again).IsSuccess());
    FUZZ_CHECK(WithoutIds(again) == WithoutIds(entries));

    const std::string extra = folder + "/Extra.zyf";
    unsigned id = 0;
    FUZZ_CHECK(loaded.AddEntryIfNotExist(CRestartMapFileEntry(extra, 0), id).IsSuccess());
    for (const auto& [existing, entry] : entries) {
        if (FXString::EqualsNoCase(entry.GetCollectFilePath(), extra)) return 0;
        FUZZ_CHECK(existing != id);
    }
    return 0;
}
