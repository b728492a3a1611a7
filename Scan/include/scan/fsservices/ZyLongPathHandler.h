// Operations on files whose full path is longer than one system call accepts (ENAMETOOLONG).
// The handler reaches the file's folder by changing the process's working directory step by
// step along the path, keeps a descriptor of each step's starting folder so it can climb back,
// and then calls the system with the last component only.
//
// It changes the working directory of the whole process, so it serves one thread: the one that
// made it. Every other thread gets no handler and -1 from every operation. Between calls the
// working directory stays where the last operation left it; releasing the handler puts the
// process back where it was when the handler was made.
//
// Paths are absolute. Failures answer what the wrapped call answers on failure (-1, or null),
// with errno as the failing step left it; nothing is logged.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/types.h>
#include <utime.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

class ZyLongPathHandler {
public:
    // The handler, made on first use by the calling thread; null for any other thread, and null
    // while the archive-index flag is set.
    static ZyLongPathHandler* GetHandler();
    static void ReleaseHandler();
    static bool getIsArchiveIndex();
    static void setIsArchiveIndex(bool isArchiveIndex);

    int open_long(const std::string& path, int flags);
    int open_long(const std::string& path, int flags, mode_t mode);
    int creat_long(const std::string& path, mode_t mode);
    int stat_long(const std::string& path, struct stat* st);
    int lstat_long(const std::string& path, struct stat* st);
    int truncate_long(const std::string& path, off_t length);
    FILE* fopen_long(const std::string& path, const char* mode);
    int chmod_long(const std::string& path, mode_t mode);
    int chown_long(const std::string& path, uid_t uid, gid_t gid);
    int lchown_long(const std::string& path, uid_t uid, gid_t gid);
    int utime_long(const std::string& path, const struct utimbuf* times);
    // utimensat relative to the item's folder (AT_SYMLINK_NOFOLLOW acts on a link itself).
    int utimensat_long(const std::string& path, const struct timespec times[2], int flags);
    ssize_t readlink_long(const std::string& path, char* buffer, size_t size);
    int statfs_long(const std::string& path, struct statfs* st);
    DIR* opendir_long(const std::string& path);

    // Opens a file for writing as a restore does (O_WRONLY|O_CREAT, O_TRUNC when asked, 0600),
    // creating missing folders; those it made are entered in `createdDirs` when given.
    int openRestoreFile_long(const std::string& path, std::map<std::string, bool>* createdDirs, bool truncate);
    // Moves the working directory to an absolute folder: 0, or -1 / the errno of the failed step.
    int chdir_long(const std::string& path);
    // Creates every missing folder of the path (0700): 1 on success, 0 on failure.
    int CreateDirsIteratively_Long(const std::string& path, std::map<std::string, bool>* createdDirs);

    // What the working directory stands for now ("" before the first move), and the descriptors
    // of the steps, oldest first (for tests and diagnostics).
    const std::string& CurrentLongPath() const { return m_currentLongPath; }
    std::vector<int> StepDescriptors() const;

private:
    ZyLongPathHandler();
    ~ZyLongPathHandler();
    ZyLongPathHandler(const ZyLongPathHandler&) = delete;
    ZyLongPathHandler& operator=(const ZyLongPathHandler&) = delete;

    struct WorkingPath {
        int fd;              // the folder the process was in before the step
        std::string path;    // the step as passed to chdir
        size_t previousLen;  // the length of the current long path before the step
    };

    bool SameThread() const;
    // Strips one trailing "/", moves to the folder part and answers the last component; false
    // (errno set) when the path has no folder part or the folder cannot be reached.
    bool Reach(const std::string& path, std::string& name);
    int JumpToDir(const std::string& path);
    void ClimbOne();
    void ClimbAll();

    char m_workingDirectory[1024];
    std::string m_currentLongPath;
    std::vector<WorkingPath> m_stack;
    long m_threadId;

    static ZyLongPathHandler* s_instance;
    static long s_threadId;
    static bool s_isArchiveIndex;
};
