// What a TrueUp comparison checks, and whether it explains its decisions.
#pragma once

#include <memory>

class CTrueUpCompareOptions {
public:
    CTrueUpCompareOptions() = default;
    CTrueUpCompareOptions(bool addDecisionPointInformation, bool skipSizeCheck, bool skipChangeTimeCheck,
                          bool skipModifiedTimeCheck, bool skipAllChecksForStub)
        : m_addDecisionPointInformation(addDecisionPointInformation),
          m_skipSizeCheck(skipSizeCheck),
          m_skipChangeTimeCheck(skipChangeTimeCheck),
          m_skipModifiedTimeCheck(skipModifiedTimeCheck),
          m_skipAllChecksForStub(skipAllChecksForStub) {}

    // Differences then carry a reason ("TrueUp(New)", "TrueUp(Delete)", "TrueUp(...)").
    bool IsAddDecisionPointInformation() const { return m_addDecisionPointInformation; }
    bool IsSizeCheckSkipped() const { return m_skipSizeCheck; }
    bool IsChangeTimeCheckSkipped() const { return m_skipChangeTimeCheck; }
    bool IsModifiedTimeCheckSkipped() const { return m_skipModifiedTimeCheck; }
    // A file that is a stub now never counts as modified.
    bool IsAllCheckSkippedForStub() const { return m_skipAllChecksForStub; }

private:
    bool m_addDecisionPointInformation = false;
    bool m_skipSizeCheck = false;
    bool m_skipChangeTimeCheck = false;
    bool m_skipModifiedTimeCheck = false;
    bool m_skipAllChecksForStub = false;
};

using CTrueUpCompareOptionsPtr = std::shared_ptr<CTrueUpCompareOptions>;
