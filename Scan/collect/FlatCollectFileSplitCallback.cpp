#include "scan/collect/FlatCollectFileSplitCallback.h"

#include "scan/collect/FlatCollectLine.h"

IFlatCollectFileSplitCallback::~IFlatCollectFileSplitCallback() = default;

unsigned long long IFlatCollectFileSplitCallback::GetItemSize(std::string_view line) {
    SFlatCollectLine parsed;
    return CFlatCollectLine::Parse(line, parsed) ? parsed.DataSize() : 0;
}

bool IFlatCollectFileSplitCallback::CanSplitBefore(std::string_view) { return true; }

void IFlatCollectFileSplitCallback::Reset() {}

bool IFlatCollectFileSplitCallback::IsLineIncluded(std::string_view) { return true; }

bool IFlatCollectFileSplitCallback::ShouldSplitAlways() { return false; }
