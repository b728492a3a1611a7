// The differences of a TrueUp run as lines for a person, counted, and handed on to a further
// callback (the repair collect writer) when there is one:
//   "new PATH", "modified PATH (WHAT, ...)" with WHAT among size, mtime, ctime, acl, stub,
//   "deleted PATH"; a folder's PATH ends in "/"; control characters in paths are escaped.
// Only items at or below the job's content roots are reported: the backups hold nothing else of
// this content, and a walk of the roots says nothing of other paths. Sockets are never new: the
// backup keeps none (whoever listens makes them again). An item reported deleted
// that can still be seen (it came back, or its folder could not be walked) is not reported
// deleted, only counted as unverified.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "scan/trueup/TrueUpDifferenceCallback.h"

struct STrueUpReportCounts {
    uint64_t newItems = 0, modifiedItems = 0, deletedItems = 0;
    uint64_t unverified = 0;  // reported deleted, but still there or not examinable
    uint64_t outside = 0;     // differences outside the content roots, left out
    uint64_t sockets = 0;     // new sockets: a backup has no content of them to keep
    uint64_t Total() const { return newItems + modifiedItems + deletedItems; }
};

class CTrueUpReport : public CTrueUpDifferenceCallback {
public:
    using FLineSink = std::function<void(const std::string& line)>;

    CTrueUpReport(std::vector<std::string> roots, FLineSink sink, CTrueUpDifferenceCallbackPtr next = nullptr);

    CKoError OnNewItem(const CTrueUpDifferenceItemPtr& item) override;
    CKoError OnModifiedItem(const CTrueUpDifferenceItemPtr& item) override;
    CKoError OnDeletedItem(const CTrueUpDifferenceItemPtr& item) override;

    const STrueUpReportCounts& GetCounts() const { return m_counts; }
    // "size, ctime" for the changes of a modified item.
    static std::string DescribeChanges(const CTrueUpDifferenceItem& item);

private:
    bool Inside(const std::string& path);
    void Emit(const char* what, const CTrueUpDifferenceItem& item, const std::string& suffix);

    std::vector<std::string> m_roots;
    FLineSink m_sink;
    CTrueUpDifferenceCallbackPtr m_next;
    STrueUpReportCounts m_counts;
    std::string m_line, m_printable;
};
