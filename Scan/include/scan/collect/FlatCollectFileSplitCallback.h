// What the caller of a collect-file split decides: the names of the parts, the size of the item
// on a line, where a part may end, and which lines take part.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

class IFlatCollectFileSplitCallback {
public:
    virtual ~IFlatCollectFileSplitCallback();

    // The path of part `fileNumber` (a new file; the first part keeps the collect file's name).
    virtual std::string GetSplitFileName(int fileNumber) = 0;
    // The bytes the item on `line` brings to a part. Default: the data size of a Unix flat line
    // (0 for deleted and ACL-only items and for lines of another form).
    virtual unsigned long long GetItemSize(std::string_view line);
    // Whether a part may end before `line`. Default: anywhere.
    virtual bool CanSplitBefore(std::string_view line);
    // Called once before the first line is written.
    virtual void Reset();
    // Whether `line` goes into the parts at all. Default: every line.
    virtual bool IsLineIncluded(std::string_view line);
    // Whether to split even a collect file too small to be worth it. Default: no.
    virtual bool ShouldSplitAlways();
};
