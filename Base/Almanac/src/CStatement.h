#pragma once

#include <sqlite3.h>

#include <cfg/IPropSetStore.h>

namespace cfg::detail {

// A prepared statement, reset after each use.
class CStatement {
public:
    CStatement() = default;
    CStatement(const CStatement&) = delete;
    CStatement& operator=(const CStatement&) = delete;
    ~CStatement() { Finalize(); }
    void Finalize()
    {
        sqlite3_finalize(m_stmt);
        m_stmt = nullptr;
    }
    bool Prepare(sqlite3* db, const char* sql)
    {
        return sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &m_stmt, nullptr) == SQLITE_OK;
    }
    sqlite3_stmt* Get() const noexcept { return m_stmt; }
    // Clears the bindings and binds the key to parameters 1 and 2.
    sqlite3_stmt* Start(const tSetKey& key)
    {
        sqlite3_reset(m_stmt);
        sqlite3_clear_bindings(m_stmt);
        sqlite3_bind_int(m_stmt, 1, key.group);
        sqlite3_bind_int64(m_stmt, 2, key.id);
        return m_stmt;
    }

private:
    sqlite3_stmt* m_stmt = nullptr;
};

} // namespace cfg::detail
