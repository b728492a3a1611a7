// A thin owner of one SQLite connection and its prepared statements, shared by the stand-ins
// that keep their state in SQLite. Errors name the database by what it is ("content container",
// "backup index") and by file.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "core/KoError.h"

class CSQLiteStatement {
public:
    CSQLiteStatement() = default;
    ~CSQLiteStatement() { sqlite3_finalize(m_stmt); }
    CSQLiteStatement(const CSQLiteStatement&) = delete;
    CSQLiteStatement& operator=(const CSQLiteStatement&) = delete;

    sqlite3_stmt* Get() const { return m_stmt; }
    bool IsPrepared() const { return m_stmt != nullptr; }
    void Reset() {
        sqlite3_reset(m_stmt);
        sqlite3_clear_bindings(m_stmt);
    }
    void Bind(int index, int64_t value) { sqlite3_bind_int64(m_stmt, index, value); }
    void BindText(int index, std::string_view value) {
        sqlite3_bind_text(m_stmt, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    }
    // Paths and names are bytes, compared as bytes.
    void BindBlob(int index, std::string_view value) {
        sqlite3_bind_blob(m_stmt, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    }
    int Step() { return sqlite3_step(m_stmt); }
    int64_t Int(int column) const { return sqlite3_column_int64(m_stmt, column); }
    // Text or blob columns as bytes.
    std::string Bytes(int column) const {
        const void* p = sqlite3_column_blob(m_stmt, column);
        const int n = sqlite3_column_bytes(m_stmt, column);
        return p && n > 0 ? std::string(static_cast<const char*>(p), static_cast<size_t>(n)) : std::string();
    }
    void AssignBytes(int column, std::string& out) const {
        const void* p = sqlite3_column_blob(m_stmt, column);
        const int n = sqlite3_column_bytes(m_stmt, column);
        if (p && n > 0)
            out.assign(static_cast<const char*>(p), static_cast<size_t>(n));
        else
            out.clear();
    }
    int Type(int column) const { return sqlite3_column_type(m_stmt, column); }

private:
    friend class CSQLiteDatabase;
    sqlite3_stmt* m_stmt = nullptr;
};

class CSQLiteDatabase {
public:
    // `kind` names the database in messages ("content container").
    explicit CSQLiteDatabase(const char* kind) : m_kind(kind) {}
    ~CSQLiteDatabase() { Close(); }
    CSQLiteDatabase(const CSQLiteDatabase&) = delete;
    CSQLiteDatabase& operator=(const CSQLiteDatabase&) = delete;

    // `create`: a missing file is created; otherwise it is Win32 2. `readOnly` opens without
    // write access (and never creates).
    CKoError Open(const std::string& path, bool create, bool readOnly, int busyTimeoutMs);
    void Close();
    bool IsOpen() const { return m_db != nullptr; }
    const std::string& GetPath() const { return m_path; }
    sqlite3* Handle() const { return m_db; }

    CKoError Exec(const char* sql);
    CKoError Prepare(const char* sql, CSQLiteStatement& statement);
    // The error of a failed call: damaged or foreign files get a message that says so.
    CKoError Error(const FXCodeLocation& here, int rc, const char* operation) const;
    // Checks the format number (PRAGMA user_version) and creates the schema of a new database.
    // A file of a newer format, or one that holds tables but no format number, is refused; so is
    // an empty file when `mayCreate` is off.
    CKoError CreateOrCheckSchema(int version, const char* schema, const char* probeTable, bool mayCreate = true);

private:
    const char* m_kind;
    sqlite3* m_db = nullptr;
    std::string m_path;
};
