// Stand-in for the agent's content container: a database of folders and files, each entry with a
// metadata text, kept in one SQLite file per container (the container's name is the file's path).
// TrueUp keeps its DirChange records in it.
//
// Folders are stored by full path, files by folder and name; paths and names are bytes. Reading
// goes in comparison order: folders by their path with a trailing "/" compared as bytes (so a
// folder's whole subtree follows it directly), the files of a folder by name. The readers check
// that order and the shape of every entry, so a damaged file gives an error, never a wrong walk.
//
// The container is written by one thread, in transactions (BeginTransaction); a container whose
// writer died keeps what its last committed transaction held. SetOrigin is recorded last by a
// writer that finished, and a reader may refuse a container without it (IsComplete).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/KoError.h"

class CSQLiteDatabase;
class CSQLiteStatement;

namespace FX {

// A write transaction on one database; rolled back when it goes uncommitted.
class CDatabaseTransaction {
public:
    explicit CDatabaseTransaction(CSQLiteDatabase* database) : m_database(database) {}
    ~CDatabaseTransaction();
    CDatabaseTransaction(const CDatabaseTransaction&) = delete;
    CDatabaseTransaction& operator=(const CDatabaseTransaction&) = delete;

    CKoError Commit();
    void Rollback();
    bool IsActive() const { return m_database != nullptr; }

private:
    CSQLiteDatabase* m_database;
};

}  // namespace FX

namespace CX {

struct SContentContainerFolder {
    int64_t id = 0;
    std::string path;  // without trailing "/" (but "/" for the root)
    std::string metadata;
};

struct SContentContainerFile {
    std::string name;
    int64_t time = 0;  // when the entry was written (microseconds since the epoch)
    std::string metadata;
};

class CContentContainer {
public:
    static constexpr int kFormat = 1;

    CContentContainer();
    ~CContentContainer();
    CContentContainer(const CContentContainer&) = delete;
    CContentContainer& operator=(const CContentContainer&) = delete;

    void SetName(const std::string& path) { m_name = path; }
    const std::string& GetName() const { return m_name; }
    bool Exists() const;

    // Opens the container, creating an empty one when there is none. A file that is not such a
    // container is refused with a message that says so.
    CKoError OpenExistingOrCreate();
    // Opens an existing container (Win32 2 when there is none).
    CKoError OpenExisting();
    void Close();
    // Closes and removes the container's files; a container that is not there is no error.
    CKoError Delete();

    CKoError BeginTransaction(std::shared_ptr<FX::CDatabaseTransaction>& transaction);
    // Win32 1168 when the folder is not there.
    CKoError QueryFolderId(const std::string& folder, int64_t& id);
    // Win32 183 when the folder is there already; `folder` must be an absolute path.
    CKoError InsertFolder(const std::string& folder, const std::string& metadata, int64_t& id);
    CKoError InsertOrUpdateFile(int64_t folderId, const std::string& name, int64_t time, const std::string& metadata);
    // Writes what is queued; this stand-in writes every call at once, so there is nothing to do.
    CKoError FlushQueue();

    CKoError SetOrigin(const std::string& origin);
    CKoError SetOriginQuery(const std::string& query);
    CKoError GetOrigin(std::string& origin);
    CKoError GetOriginQuery(std::string& query);
    // True when a writer recorded the origin, which it does when it finished.
    CKoError IsComplete(bool& complete);

    // Reading in comparison order. StartFolders, then NextFolder until `found` is false; between
    // two folders, StartFiles and NextFile for the files of one. An entry out of order or of the
    // wrong shape is Win32 13 with a message that names the container.
    CKoError StartFolders();
    CKoError NextFolder(SContentContainerFolder& folder, bool& found);
    CKoError StartFiles(int64_t folderId);
    CKoError NextFile(SContentContainerFile& file, bool& found);
    // Ends a reading walk (it holds the database's read lock until then).
    void EndReading();

    uint64_t GetFolderCount();
    uint64_t GetFileCount();

private:
    CKoError Open(bool create);
    CKoError RequireOpen(const FXCodeLocation& here) const;
    CKoError SetProperty(const char* name, const std::string& value);
    CKoError GetProperty(const char* name, std::string& value, bool& found);
    CKoError Damaged(const FXCodeLocation& here, const char* what, const std::string& entry) const;
    uint64_t Count(const char* sql);

    std::string m_name;
    std::unique_ptr<CSQLiteDatabase> m_db;
    std::unique_ptr<CSQLiteStatement> m_queryFolder, m_insertFolder, m_insertFile, m_folders, m_files;
    std::string m_lastFolderKey, m_lastFileName;
    bool m_firstFolder = true, m_firstFile = true;
};

}  // namespace CX
