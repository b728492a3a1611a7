// Turns the differences of a TrueUp run into a collect file for the next backup: one line per new
// or modified item (its escaped path, folders ending in "/"), and for items the backups hold
// although they are gone, a deletion line ("??d" and the path, or "??D", the path and "/" for a
// folder and everything below it).
//
// A deletion is only written after the writer saw, with its own lstat, that the item is gone
// (not found, or a parent that is no folder): an item that exists, or that cannot be examined,
// is never deleted from the backups; it is counted as kept. Deletions below a folder already
// deleted are left out. The file is written under a temporary name and put in place by Commit,
// so a run that dies leaves no half collect behind.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/Env.h"
#include "core/KoError.h"
#include "scan/trueup/TrueUpDifferenceCallback.h"

struct STrueUpRepairSummary {
    uint64_t newItems = 0;
    uint64_t modifiedItems = 0;
    uint64_t deletedItems = 0;      // deletion lines written
    uint64_t keptItems = 0;         // reported deleted but still there (or not examinable)
    bool partial = false;           // the comparison did not run to its end
};

class CTrueUpRepairCollectWriter : public CTrueUpDifferenceCallback {
public:
    explicit CTrueUpRepairCollectWriter(std::string collectPath);
    ~CTrueUpRepairCollectWriter() override;

    CKoError Open();
    CKoError OnNewItem(const CTrueUpDifferenceItemPtr& item) override;
    CKoError OnModifiedItem(const CTrueUpDifferenceItemPtr& item) override;
    CKoError OnDeletedItem(const CTrueUpDifferenceItemPtr& item) override;
    // Marks the result partial (the comparison was stopped); the lines written stand, each on its
    // own evidence.
    void SetPartial(bool partial) { m_summary.partial = partial; }
    // Puts the collect file in place.
    CKoError Commit();
    void Abandon();

    const STrueUpRepairSummary& GetSummary() const { return m_summary; }
    const std::string& GetPath() const { return m_path; }

private:
    CKoError WriteItemLine(const CTrueUpDifferenceItem& item);

    std::string m_path;
    std::unique_ptr<FXDurableReplace> m_file;
    std::string m_line;
    std::string m_lastDeletedFolder;
    STrueUpRepairSummary m_summary;
};
