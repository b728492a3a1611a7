// Which DirChange a scan job keeps: the tree DirChange (every item in memory), the flat-file
// index over flat DirChange files (folders in memory, files on disk) or the segment DirChange
// over the tree DirChange file (folders in memory, files on disk).
//
// The tree and segment kinds read and write the same file, so a job may switch between them; a
// switch to or from the flat kind cannot use the previous job's file and runs the job full.
#pragma once

#include <string>
#include <string_view>

#include "core/KoError.h"

class EDirChangeKind {
public:
    enum Value {
        DIRCHANGE_KIND_TREE = 0,
        DIRCHANGE_KIND_FLAT = 1,
        DIRCHANGE_KIND_SEGMENTS = 2,
    };

    EDirChangeKind(Value value = DIRCHANGE_KIND_TREE) : m_value(value) {}
    operator Value() const { return m_value; }
    // "tree", "flat", "segments".
    const char* AsString() const;
    // True for the kinds that keep the tree DirChange file.
    bool UsesTreeFile() const { return m_value != DIRCHANGE_KIND_FLAT; }

    // "tree", "flat" or "segments" (letter case ignored); anything else is Win32 87.
    static CKoError Parse(std::string_view text, EDirChangeKind& kind);
    // The setting "DirChangeKind" of section "FileSystemAgent"; without it the tree kind. A value
    // that is not a kind is Win32 87 (the caller then says so and keeps its default).
    static CKoError FromSetting(EDirChangeKind& kind);
    // The kind a previous job recorded with its DirChange; an empty record is the tree kind (the
    // only kind before kinds were recorded).
    static CKoError FromRecord(std::string_view recorded, EDirChangeKind& kind);

    // Whether a job keeping this kind can load the DirChange a job of `previous` kind left. When
    // it cannot, `reason` says why the job runs full.
    bool CanLoadPreviousOf(EDirChangeKind previous, std::string& reason) const;

private:
    Value m_value;
};
