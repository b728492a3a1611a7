// A collect-files description (the collect-info message the scan hands to the backup) of
// arbitrary bytes, loaded from a file as the backup loads it.
//
// Any bytes load or fail cleanly. A description that loads serialises to a message that parses
// back to the same content and serialises to the same text; saved and loaded again, it is the
// same; its collects register in a restart map. Message text escaping round-trips any bytes.
#include <memory>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "agent/FileScanMessages.h"
#include "scan/collect/CollectFilesInfo.h"
#include "scan/jobstate/RestartMapFileHandler.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::Setup();
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string bytes;
    FUZZ_CHECK(FileScan::DecodeMessageText(FileScan::EncodeMessageText(text), bytes) && bytes == text);

    fuzzsupport::ClearScratchDir();
    const std::string path = fuzzsupport::WriteScratchFile("CollectInfoInc.zyf", text);
    std::shared_ptr<CCollectFilesInfo> description;
    FUZZ_CHECK(CCollectFilesInfo::CreateCollectFileInfo(description).IsSuccess() && description);
    if (description->LoadFromFile(path).IsError()) return 0;

    FileScan::CollectInfo info;
    description->GetCollectInfo(info);
    std::vector<std::string> all, eligible, secondary;
    description->GetAllCollects(all);
    description->GetCollectsEligibleForMultipleStreams(eligible);
    description->GetCollectsByType(FileScan::COLLECT_FILE_TYPE_SECONDARY, secondary);
    FUZZ_CHECK(eligible.size() <= all.size() && secondary.size() <= all.size());

    std::string message;
    FUZZ_CHECK(info.SerializeToString(message).IsSuccess());
    FileScan::CollectInfo parsed;
    FUZZ_CHECK(parsed.ParseFromString(message).IsSuccess());
    FUZZ_CHECK(parsed == info);
    std::string again;
    FUZZ_CHECK(parsed.SerializeToString(again).IsSuccess() && again == message);

    const std::string saved = fuzzsupport::ScratchPath("Saved.zyf");
    FUZZ_CHECK(description->SaveToFile(saved).IsSuccess());
    std::shared_ptr<CCollectFilesInfo> reloaded;
    FUZZ_CHECK(CCollectFilesInfo::CreateCollectFileInfo(reloaded).IsSuccess());
    FUZZ_CHECK(reloaded->LoadFromFile(saved).IsSuccess());
    FileScan::CollectInfo reloadedInfo;
    reloaded->GetCollectInfo(reloadedInfo);
    FUZZ_CHECK(reloadedInfo == info);

    CRestartMapFileHandler map;
    FUZZ_CHECK(map.Init(fuzzsupport::ScratchDir(), false, true).IsSuccess());
    FUZZ_CHECK(map.AddEntriesFromCollectInfoIfNotExist(info).IsSuccess());
    FUZZ_CHECK(map.FlushToFile().IsSuccess());
    return 0;
}
