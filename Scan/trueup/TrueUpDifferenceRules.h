// The rules that turn one item of a TrueUp comparison into a difference, shared by the
// comparison of DirChange files and that of DirChange containers.
//
// - Paths under "[System State" (with or without a leading "\") are never reported; a ".pst" file
//   in both records is never reported.
// - Only in the TrueUp DirChange: deleted ("TrueUp(Delete)").
// - A file only in the comparison DirChange: new ("TrueUp(New)") unless it is a subclient file or
//   already added to the collect. A folder only there is new as well: an empty folder that no
//   backup holds would otherwise never be found.
// - A file in both: modified when, by the checks the options leave on, its modification time,
//   its size (a current size of 0 does not count), its change time (a previous change time of 0
//   does not count) or its stub mark differ; not when it was added to the collect already, nor
//   when it is a stub now and stubs skip all checks.
#pragma once

#include <string>

#include "core/KoError.h"
#include "scan/dirchange/AbortOperationCheck.h"
#include "scan/trueup/TrueUpCompareOptions.h"
#include "scan/trueup/TrueUpDifferenceCallback.h"
#include "scan/trueup/TrueUpDirChangeItemData.h"

class CTrueUpDifferenceRules {
public:
    CTrueUpDifferenceRules(CTrueUpDifferenceCallbackPtr callback, CAbortOperationCheckPtr abortCheck,
                           CTrueUpCompareOptionsPtr options);

    // The abort check's answer, false without one.
    bool IsAborted() const;
    static bool IsLeftOut(const std::string& path);
    static bool IsPst(const std::string& path);

    // The data may be null: absent previous data counts as clear times, size 0 and no marks;
    // a file without current data is reported (new, or modified when in both), which costs one
    // backup too many at worst.
    CKoError OnlyInTrueUp(const std::string& path, bool folder);
    CKoError OnlyInComparison(const std::string& path, bool folder, const CTrueUpDirChangeItemData* current);
    CKoError InBoth(const std::string& path, const CTrueUpDirChangeItemData* previous,
                    const CTrueUpDirChangeItemData* current);

private:
    CKoError Report(CKoError (CTrueUpDifferenceCallback::*operation)(const CTrueUpDifferenceItemPtr&),
                    const std::string& path, std::string reason, bool deleted, uint64_t size, bool folder,
                    int collectField, bool aclOnly, uint32_t changes = 0);

    CTrueUpDifferenceCallbackPtr m_callback;
    CAbortOperationCheckPtr m_abortCheck;
    CTrueUpCompareOptionsPtr m_options;
};
