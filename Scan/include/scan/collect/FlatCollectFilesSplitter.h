// Splits the collect files of a job for several readers and keeps the job's collect-files
// description naming exactly the files that hold the lines, whatever stops it:
//
//   1. each collect file is split (FlatCollectFileSplit); its record stays;
//   2. the description replaces each split collect file by its parts and is saved (the commit
//      point for the job: before it, the saved description names the unsplit files, which the
//      records can still give back; after it, the parts);
//   3. the records go (Complete).
//
// Recover, at the start of the next attempt, finishes whatever an earlier one left: unfinished
// splits roll back, finished ones are put in the description (once) and saved, then completed.
// Parts are named after their collect file: "CollectTot1.zyf" -> "CollectTot1_1.zyf", ...
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/KoError.h"
#include "scan/collect/FlatCollectFileSplit.h"

class CCollectFilesInfo;

class CFlatCollectFilesSplitter {
public:
    struct SOptions {
        int readers = 1;
        int filesPerStream = 1;                            // parts per reader
        int flags = FlatCollectFileSplit::SPLIT_BY_SIZE;  // and SORT_FIRST
    };
    // What became of one collect file.
    struct SResult {
        std::string collect;
        FlatCollectFileSplit::EOutcome outcome = FlatCollectFileSplit::NOT_RUN;
        std::vector<SplitFileInfo> parts;  // for SPLIT, the first part (the collect file) included
        CKoError error;                    // why a split was given up (the file stays whole)
    };

    // `descriptionPath`: where the description is saved (SaveToFile).
    CFlatCollectFilesSplitter(std::shared_ptr<CCollectFilesInfo> description, std::string descriptionPath,
                              SOptions options);

    // Finishes the splits an earlier attempt left of the collect files the description names.
    CKoError Recover();
    // Splits each of `collects` (files the description names). A collect file whose split fails
    // stays whole and is reported in its result. When the description cannot be saved after the
    // splits, they are finished at once (Recover); only a failure that still leaves the
    // description or a split unfinished is returned (the next attempt's Recover finishes it).
    CKoError SplitAll(const std::vector<std::string>& collects, std::vector<SResult>& results);

    // The name of part `number` of `collect`.
    static std::string PartName(const std::string& collect, int number);

private:
    CKoError SaveAndComplete(const std::vector<std::string>& split);

    std::shared_ptr<CCollectFilesInfo> m_description;
    std::string m_descriptionPath;
    SOptions m_options;
};
