// The data side of fsscan's backup: keeps a folder DEST as a mirror of the scanned items, each
// source path P stored at DEST + P. Every operation looks at the source as it is now and is
// idempotent, so a backup that restarts from a saved offset may apply a line twice.
//
// Confinement: no path string is ever handed to the system whole. Both sides are reached by
// descriptor, one component at a time, never through a symbolic link (FXPathWalker): DEST from
// the DEST folder opened once, the source from "/". A link planted in the content or in DEST,
// before or during the backup, is never followed, so nothing outside DEST is written or removed
// and nothing outside the content is read. New entries are made under a temporary name (created
// exclusively) and renamed into place, so a read that fails half-way keeps the good copy.
//
// Callers pass clean absolute paths (FXSafePath::IsCleanAbsolute) they have checked against the
// job's content roots.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_set>

#include "core/File.h"
#include "core/KoError.h"
#include "core/PathWalker.h"
#include "scan/job/MirrorObserver.h"

struct SMirrorCounters {
    std::atomic<uint64_t> files{0}, folders{0}, links{0}, others{0}, bytes{0}, deleted{0}, vanished{0};
};

// What CopyItem put in place: the source's status as it was copied (for the backup index).
struct SMirrorCopied {
    bool done = false;  // false when nothing was put in place (vanished, unreadable, a socket)
    struct stat st {};
};

class CMirror {
public:
    // One reader's descriptors; a cursor belongs to one thread.
    class CCursor {
    public:
        CCursor() = default;
        // Told of every item this cursor copies or removes (null: nobody); not owned.
        void SetObserver(IMirrorObserver* observer) { m_observer = observer; }

    private:
        friend class CMirror;
        FXPathWalker dest, source;
        bool open = false;
        IMirrorObserver* m_observer = nullptr;
    };

    CMirror() = default;
    // `dest` is DEST's real path; it is opened once, by descent without following links.
    CKoError Open(const std::string& dest);
    const std::string& Dest() const { return m_dest; }

    // Copies one item (file content, folder, symbolic link, fifo or device) with its mode, owner
    // (when run as root) and modification time; a folder's times are set later by
    // ApplyFolderAttributes, since its entries change them. An item that no longer exists is
    // skipped. `sourceError` is set when the source could not be read: the caller records it and
    // goes on; any error returned is a failure of the mirror itself (a full disk) and ends the job.
    // The cursor's observer hears of each file read and each item copied or removed.
    CKoError CopyItem(CCursor& cursor, const std::string& source, bool& sourceError, std::string& sourceReason,
                      SMirrorCounters& counters, SMirrorCopied* copied = nullptr);
    // Removes the item (a folder with everything below it). The root "/" is never removed.
    CKoError Remove(CCursor& cursor, const std::string& source, SMirrorCounters& counters);
    // Mode, owner and times of a folder from its source, when both still exist.
    CKoError ApplyFolderAttributes(CCursor& cursor, const std::string& source);
    // Removes every entry of the mirrored folder `source` whose name is not in `keep`: what a full
    // job did not collect there has no business in the mirror. `beforeRemove`, when given, is
    // told each source path first; an error from it stops the sweep before that removal.
    using FBeforeRemove = std::function<CKoError(const std::string& source)>;
    CKoError Sweep(CCursor& cursor, const std::string& source, const std::unordered_set<std::string>& keep,
                   SMirrorCounters& counters, const FBeforeRemove& beforeRemove = nullptr);

private:
    CKoError Prepare(CCursor& cursor);
    CKoError CopyOne(CCursor& cursor, int sourceParent, const std::string& leaf, const struct stat& st, int destParent,
                     const std::string& destLeaf, bool& sourceError, std::string& sourceReason, SMirrorCounters& counters,
                     SMirrorCopied* copied);
    CKoError CopyFile(CCursor& cursor, int sourceParent, const std::string& leaf, const struct stat& st, int destParent,
                      const std::string& destLeaf, bool& sourceError, std::string& sourceReason, SMirrorCounters& counters,
                      SMirrorCopied* copied);
    // Owner (as root), mode (unless a link) and times of a new entry, never through a link.
    static CKoError SetEntryAttributes(int destParent, const std::string& name, const struct stat& st, bool withMode);
    // Puts the entry made under `temp` in place of `leaf`, clearing a folder that stands there.
    CKoError Install(int destParent, const std::string& temp, const std::string& leaf);
    std::string TempName();

    std::string m_dest;
    FXFd m_destFd;
    std::atomic<uint64_t> m_tempCounter{0};
};
