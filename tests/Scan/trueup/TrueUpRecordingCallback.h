// A difference callback that keeps what it is told, for the TrueUp tests.
#pragma once

#include <string>
#include <vector>

#include "scan/trueup/TrueUpDifferenceCallback.h"

class CRecordingDifferences : public CTrueUpDifferenceCallback {
public:
    struct Entry {
        char kind;  // 'N', 'M', 'D'
        CTrueUpDifferenceItem item;
    };
    CKoError OnNewItem(const CTrueUpDifferenceItemPtr& item) override { return Add('N', item); }
    CKoError OnModifiedItem(const CTrueUpDifferenceItemPtr& item) override { return Add('M', item); }
    CKoError OnDeletedItem(const CTrueUpDifferenceItemPtr& item) override { return Add('D', item); }

    // "N /a", "M /b", "D /c/" (folders end in "/"), in the order reported.
    std::vector<std::string> Lines() const {
        std::vector<std::string> out;
        for (const Entry& e : entries)
            out.push_back(std::string(1, e.kind) + " " + e.item.GetPath() + (e.item.IsFolder() ? "/" : ""));
        return out;
    }
    std::vector<Entry> entries;
    int failAfter = -1;  // fail the call after this many

private:
    CKoError Add(char kind, const CTrueUpDifferenceItemPtr& item) {
        if (failAfter >= 0 && static_cast<int>(entries.size()) >= failAfter)
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_WRITE_PROTECT, "recording refused");
        entries.push_back({kind, *item});
        return CKoError::Success();
    }
};
