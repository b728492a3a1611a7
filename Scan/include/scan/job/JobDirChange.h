// The DirChange a scan job keeps: a recorder of the kind the job was given, loaded with the
// previous job's DirChange when that job's kind and file allow it. When they do not, the job runs
// full and the reason says why: the previous job kept another kind of file, its file is gone or
// not the one it recorded, or it cannot be used at all. A file that is usable in part (the flat
// and segment kinds leave out lines they cannot use) is loaded, and `skipped` says what was left
// out.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/KoError.h"
#include "scan/dirchange/DirChangeKind.h"
#include "scan/dirchange/DirChangeRecorder.h"

struct SScanRecord;

class CJobDirChange {
public:
    // Makes a recorder; tests give one of their own.
    using Factory = std::function<CKoError(EDirChangeKind, const CDirChangeRecorder::SOptions&,
                                           std::unique_ptr<CDirChangeRecorder>&)>;

    struct SOpened {
        std::unique_ptr<CDirChangeRecorder> recorder;
        bool loaded = false;         // the previous job's DirChange is in the recorder
        std::string fallbackReason;  // why it is not, when it was asked for
        std::string skipped;         // what loading left out of the previous DirChange
    };

    // The kind a job keeps: the one asked for; else the setting "DirChangeKind" of section
    // "FileSystemAgent" when it is there; else the kind of the previous job (`previous`, null when
    // there was none), so that a job keeps going as its predecessor did; else the tree kind.
    // `note` says when the setting or the previous record could not be used.
    static EDirChangeKind Choose(const std::optional<EDirChangeKind>& asked, const SScanRecord* previous, std::string& note);

    // A recorder of `kind` with nothing loaded (a full job).
    static CKoError New(EDirChangeKind kind, bool includeFiles, const Factory& factory,
                        std::unique_ptr<CDirChangeRecorder>& out);

    // A recorder of `kind` loaded with the DirChange `previous` names in `resultsDir`. Reasons to
    // run full come back in `out.fallbackReason` (with an empty recorder); an error is returned
    // only when the file could not be read for a passing reason (I/O, memory): the job fails and
    // a later attempt may read it.
    static CKoError OpenPrevious(EDirChangeKind kind, bool includeFiles, const Factory& factory, const SScanRecord& previous,
                                 const std::string& resultsDir, SOpened& out);
};
