// The data side of fsscan's backup: keeps a folder DEST as a mirror of the scanned items, each
// source path P stored at DEST + P. Every operation looks at the source as it is now and is
// idempotent, so a backup that restarts from a saved offset may apply a line twice.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "core/KoError.h"

struct SMirrorCounters {
    std::atomic<uint64_t> files{0}, folders{0}, links{0}, others{0}, bytes{0}, deleted{0}, vanished{0};
};

class CMirror {
public:
    explicit CMirror(std::string dest) : m_dest(std::move(dest)) {}
    const std::string& Dest() const { return m_dest; }
    std::string DestPathOf(const std::string& source) const { return m_dest + source; }

    // Copies one item (file content, folder, symbolic link, fifo or device) with its mode, owner
    // (when run as root) and modification time; a folder's times are set later by
    // ApplyFolderAttributes, since its entries change them. An item that no longer exists is
    // skipped. `sourceError` is set when the source could not be read: the caller records it and
    // goes on; any error returned is a failure of the mirror itself (a full disk) and ends the job.
    CKoError CopyItem(const std::string& source, bool& sourceError, std::string& sourceReason, SMirrorCounters& counters);
    // Removes the item (a folder with everything below it).
    CKoError Remove(const std::string& source, SMirrorCounters& counters);
    // Mode, owner and times of a folder from its source, when both still exist.
    CKoError ApplyFolderAttributes(const std::string& source);

private:
    CKoError CopyFile(const std::string& source, const std::string& dest, const struct stat& st, bool& sourceError,
                      std::string& sourceReason, SMirrorCounters& counters);
    CKoError MakeFolder(const std::string& dest);
    CKoError MakeParents(const std::string& dest);
    // Clears whatever stands at `dest` when it is not of the wanted kind.
    CKoError ClearForType(const std::string& dest, mode_t wantedType);

    std::string m_dest;
};

// Removes a file, or a folder with everything below it; a missing path is success.
CKoError RemoveTree(const std::string& path);
