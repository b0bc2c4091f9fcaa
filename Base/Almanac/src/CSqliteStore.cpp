#include <cfg/CSqliteStore.h>

#include <cfg/SetChanges.h>

#include <sqlite3.h>

#include "CNestingCheck.h"
#include "CStatement.h"
#include "SqliteRows.h"

#include <algorithm>
#include <filesystem>
#include <map>

#include <boost/make_shared.hpp>

namespace cfg {
namespace {

// How long a transaction waits for another connection's (another process's) transaction.
constexpr int c_busyTimeoutMs = 5000;

constexpr const char* c_createSchema = R"sql(
CREATE TABLE IF NOT EXISTS meta(
    name TEXT PRIMARY KEY NOT NULL,
    value INTEGER NOT NULL);
INSERT OR IGNORE INTO meta(name, value) VALUES('schema_version', 1);
CREATE TABLE IF NOT EXISTS stored_set(
    grp INTEGER NOT NULL,
    id INTEGER NOT NULL,
    PRIMARY KEY(grp, id)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS property(
    grp INTEGER NOT NULL,
    id INTEGER NOT NULL,
    set_no INTEGER NOT NULL,
    prop INTEGER NOT NULL,
    type INTEGER NOT NULL,
    unit INTEGER,
    value,
    PRIMARY KEY(grp, id, set_no, prop)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS set_element(
    grp INTEGER NOT NULL,
    id INTEGER NOT NULL,
    set_no INTEGER NOT NULL,
    prop INTEGER NOT NULL,
    pos INTEGER NOT NULL,
    child_no INTEGER,
    PRIMARY KEY(grp, id, set_no, prop, pos)) WITHOUT ROWID;
)sql";

} // namespace

using detail::CNestingCheck;
using detail::CStatement;
using detail::Decode;
using detail::Serialise;
using detail::tPropertyRow;
using detail::tSetRows;

struct CSqliteStore::Impl {
    std::string path;
    std::string error;
    sqlite3* db = nullptr;
    CStatement hasKey, selectProperties, selectElements, deleteProperties, deleteElements, deleteKey, insertKey,
        insertProperty, insertElement, selectKeys;

    ~Impl() { Close(); }

    // Opens the file (creating it and its directory) and checks it; false with `error` set, and
    // no connection, when it cannot be used.
    bool Connect();
    bool Validate();

    void Close()
    {
        for (CStatement* stmt : {&hasKey, &selectProperties, &selectElements, &deleteProperties, &deleteElements,
                                 &deleteKey, &insertKey, &insertProperty, &insertElement, &selectKeys})
            stmt->Finalize();
        sqlite3_close_v2(db);
        db = nullptr;
    }

    // Records the failure of `what` with SQLite's message and answers false.
    bool Fail(const std::string& what)
    {
        error = path + ": " + what + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
        return false;
    }

    bool Exec(const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

    std::string DamagedNesting(const tSetKey& key, const std::string& fault) const
    {
        return path + ": the database is damaged (" + fault + " in the settings of group " + std::to_string(key.group) +
               ", ID " + std::to_string(key.id) + ")";
    }

    // Whether the nesting of every stored key's sets is sound (see CNestingCheck); false with
    // `error` set when it is not or cannot be read.
    bool CheckNesting()
    {
        CStatement elements;
        if (!elements.Prepare(db, "SELECT grp, id, set_no, child_no FROM set_element "
                                  "WHERE child_no > 0 ORDER BY grp, id"))
            return Fail("cannot read the nested settings");
        std::map<tSetKey, CNestingCheck> checks;
        int step;
        while ((step = sqlite3_step(elements.Get())) == SQLITE_ROW) {
            const tSetKey key{sqlite3_column_int(elements.Get(), 0),
                              static_cast<std::uint32_t>(sqlite3_column_int64(elements.Get(), 1))};
            checks[key].Add(sqlite3_column_int(elements.Get(), 2), sqlite3_column_int(elements.Get(), 3));
        }
        if (step != SQLITE_DONE)
            return Fail("cannot read the nested settings");
        for (auto& [key, check] : checks) {
            if (const std::string fault = check.Fault(); !fault.empty()) {
                error = DamagedNesting(key, fault);
                return false;
            }
        }
        return true;
    }

    // Runs a statement that answers no rows (or whose rows do not matter).
    static bool Run(sqlite3_stmt* stmt)
    {
        int rc;
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        }
        sqlite3_reset(stmt);
        return rc == SQLITE_DONE;
    }

    // Runs `body` in a transaction; rolls back when it answers false.
    template <class Body>
    bool Transaction(const char* begin, const std::string& what, Body&& body)
    {
        error.clear();
        if (!Exec(begin))
            return Fail(what);
        if (!body() || !Exec("COMMIT")) {
            if (error.empty()) // the body may have said why
                Fail(what);
            Exec("ROLLBACK");
            return false;
        }
        return true;
    }

    bool Prepare()
    {
        return hasKey.Prepare(db, "SELECT 1 FROM stored_set WHERE grp = ?1 AND id = ?2") &&
               selectProperties.Prepare(db, "SELECT set_no, prop, type, unit, value FROM property "
                                            "WHERE grp = ?1 AND id = ?2 ORDER BY set_no, prop") &&
               selectElements.Prepare(db, "SELECT set_no, prop, pos, child_no FROM set_element "
                                          "WHERE grp = ?1 AND id = ?2 ORDER BY set_no, prop, pos") &&
               deleteProperties.Prepare(db, "DELETE FROM property WHERE grp = ?1 AND id = ?2") &&
               deleteElements.Prepare(db, "DELETE FROM set_element WHERE grp = ?1 AND id = ?2") &&
               deleteKey.Prepare(db, "DELETE FROM stored_set WHERE grp = ?1 AND id = ?2") &&
               insertKey.Prepare(db, "INSERT OR IGNORE INTO stored_set(grp, id) VALUES(?1, ?2)") &&
               insertProperty.Prepare(db, "INSERT INTO property(grp, id, set_no, prop, type, unit, value) "
                                          "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)") &&
               insertElement.Prepare(db, "INSERT INTO set_element(grp, id, set_no, prop, pos, child_no) "
                                         "VALUES(?1, ?2, ?3, ?4, ?5, ?6)") &&
               selectKeys.Prepare(db, "SELECT grp, id FROM stored_set ORDER BY grp, id");
    }

    bool EraseRows(const tSetKey& key)
    {
        return Run(deleteProperties.Start(key)) && Run(deleteElements.Start(key)) && Run(deleteKey.Start(key));
    }

    bool WriteRows(const tSetKey& key, const tSetRows& rows)
    {
        if (!EraseRows(key) || !Run(insertKey.Start(key)))
            return false;
        for (const auto& row : rows.properties) {
            sqlite3_stmt* stmt = insertProperty.Start(key);
            sqlite3_bind_int(stmt, 3, row.setNo);
            sqlite3_bind_int(stmt, 4, row.prop);
            sqlite3_bind_int(stmt, 5, row.type);
            if (row.hasUnit)
                sqlite3_bind_int(stmt, 6, row.unit);
            switch (row.kind) {
            case tPropertyRow::eNull:
                break;
            case tPropertyRow::eInteger:
                sqlite3_bind_int64(stmt, 7, row.integer);
                break;
            case tPropertyRow::eReal:
                sqlite3_bind_double(stmt, 7, row.real);
                break;
            case tPropertyRow::eText:
                sqlite3_bind_text64(stmt, 7, row.bytes.data(), row.bytes.size(), SQLITE_STATIC, SQLITE_UTF8);
                break;
            case tPropertyRow::eBlob:
                if (row.bytes.empty())
                    sqlite3_bind_zeroblob(stmt, 7, 0); // an empty blob, not NULL
                else
                    sqlite3_bind_blob64(stmt, 7, row.bytes.data(), row.bytes.size(), SQLITE_STATIC);
                break;
            }
            if (!Run(stmt))
                return false;
        }
        for (const auto& element : rows.elements) {
            sqlite3_stmt* stmt = insertElement.Start(key);
            sqlite3_bind_int(stmt, 3, element.setNo);
            sqlite3_bind_int(stmt, 4, element.prop);
            sqlite3_bind_int(stmt, 5, element.pos);
            if (element.child >= 0)
                sqlite3_bind_int(stmt, 6, element.child);
            if (!Run(stmt))
                return false;
        }
        return true;
    }

    // Reads the rows of `key` and builds the content of the key's set into `rootEntries`.
    bool ReadRows(const tSetKey& key, bool& stored, std::vector<utl::CPropSet::Entry>& rootEntries)
    {
        sqlite3_stmt* stmt = hasKey.Start(key);
        int rc = sqlite3_step(stmt);
        sqlite3_reset(stmt);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE)
            return false;
        stored = rc == SQLITE_ROW;
        if (!stored)
            return true;

        // The elements of every vector, by (set, property), and the sets they refer to.
        std::map<std::pair<int, int>, mem::PropSetVector> vectors;
        std::map<int, utl::PropSetPtr> nested;
        const auto setOf = [&](int setNo) -> utl::PropSetPtr {
            if (setNo <= 0)
                return nullptr; // a loop back to the key's own set is not kept
            auto& set = nested[setNo];
            if (!set)
                set = boost::make_shared<utl::CPropSet>();
            return set;
        };
        CNestingCheck nesting;
        stmt = selectElements.Start(key);
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
            const int setNo = sqlite3_column_int(stmt, 0);
            auto& elements = vectors[{setNo, sqlite3_column_int(stmt, 1)}];
            if (sqlite3_column_type(stmt, 3) == SQLITE_NULL) {
                elements.push_back(nullptr);
                continue;
            }
            const int child = sqlite3_column_int(stmt, 3);
            elements.push_back(setOf(child));
            if (child > 0)
                nesting.Add(setNo, child);
        }
        sqlite3_reset(stmt);
        if (rc != SQLITE_DONE)
            return false;
        // Checked when the file was opened; checked again because another process may have
        // written since. Sets that contain themselves would never be freed nor finish a snapshot.
        if (const std::string fault = nesting.Fault(); !fault.empty()) {
            error = DamagedNesting(key, fault);
            return false;
        }

        std::map<int, std::vector<utl::CPropSet::Entry>> entries;
        stmt = selectProperties.Start(key);
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
            const int setNo = sqlite3_column_int(stmt, 0);
            const int prop = sqlite3_column_int(stmt, 1);
            mem::CBin value;
            if (!Decode(stmt, 2, value))
                continue; // a row this library cannot have written: the property is left out
            if (value.GetTypeCode() == mem::c_tPropSets) {
                utl::CUnit unit;
                const bool hasUnit = value.GetUnit(unit);
                auto it = vectors.find({setNo, prop});
                value.Store(it == vectors.end() ? mem::PropSetVector() : it->second);
                if (hasUnit)
                    value.SetUnit(unit);
            }
            if (setNo > 0)
                setOf(setNo);
            entries[setNo].emplace_back(prop, std::move(value));
        }
        sqlite3_reset(stmt);
        if (rc != SQLITE_DONE)
            return false;

        for (auto& [setNo, set] : nested)
            set->Assign(std::move(entries[setNo]));
        rootEntries = std::move(entries[0]);
        return true;
    }
};

CSqliteStore::CSqliteStore(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}

CSqliteStore::~CSqliteStore() = default;

std::unique_ptr<CSqliteStore> CSqliteStore::Open(const std::string& path, std::string& error, bool createNow)
{
    error.clear();
    auto impl = std::make_unique<Impl>();
    impl->path = path;
    std::error_code ec;
    const bool absent = !path.empty() && !std::filesystem::exists(path, ec) && !ec;
    // Opening would follow the link and make a file wherever it points.
    if (absent && std::filesystem::is_symlink(std::filesystem::symlink_status(path, ec))) {
        error = path + ": a symbolic link to a file that does not exist (refused: it would make the file at the "
                       "link's target)";
        return nullptr;
    }
    if ((createNow || !absent) && !impl->Connect()) {
        error = impl->error;
        return nullptr;
    }
    return std::unique_ptr<CSqliteStore>(new CSqliteStore(std::move(impl)));
}

bool CSqliteStore::Impl::Connect()
{
    error.clear();
    if (path.empty()) {
        error = "no file name given for the configuration file";
        return false;
    }
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (!parent.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(parent, ec);
        if (ec) {
            error = path + ": cannot create the directory " + parent.string() + ": " + ec.message();
            return false;
        }
    }
    if (Validate())
        return true;
    Close();
    return false;
}

bool CSqliteStore::Impl::Validate()
{
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK)
        return Fail("cannot open the file");
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, c_busyTimeoutMs);
    if (sqlite3_db_readonly(db, "main") == 1) {
        error = path + ": the file cannot be written";
        return false;
    }

    // Only reads until the file has proven to be a configuration file of this library.
    std::set<std::string> tables;
    {
        CStatement list;
        if (!list.Prepare(db, "SELECT name FROM sqlite_master WHERE type = 'table'"))
            return Fail("not a usable database");
        int step;
        while ((step = sqlite3_step(list.Get())) == SQLITE_ROW)
            tables.insert(reinterpret_cast<const char*>(sqlite3_column_text(list.Get(), 0)));
        if (step != SQLITE_DONE)
            return Fail("not a usable database");
    }
    if (!tables.empty()) {
        CStatement check;
        if (!check.Prepare(db, "PRAGMA quick_check") || sqlite3_step(check.Get()) != SQLITE_ROW)
            return Fail("the database is damaged or cannot be checked");
        const auto* answer = reinterpret_cast<const char*>(sqlite3_column_text(check.Get(), 0));
        if (!answer || std::strcmp(answer, "ok") != 0) {
            error = path + ": the database is damaged (" + (answer ? answer : "no answer") + ")";
            return false;
        }
        for (const char* table : {"meta", "stored_set", "property", "set_element"}) {
            if (!tables.count(table)) {
                error = path + ": not a Plinth configuration file (no table " + table + ")";
                return false;
            }
        }
        CStatement version;
        if (!version.Prepare(db, "SELECT value FROM meta WHERE name = 'schema_version'"))
            return Fail("cannot read the schema version");
        if (sqlite3_step(version.Get()) != SQLITE_ROW) {
            error = path + ": not a Plinth configuration file (no schema version)";
            return false;
        }
        const sqlite3_int64 found = sqlite3_column_int64(version.Get(), 0);
        if (found != c_schemaVersion) {
            error = path + ": schema version " + std::to_string(found) + " is not the version " +
                    std::to_string(c_schemaVersion) + " that this library reads" +
                    (found > c_schemaVersion ? " (written by a newer version)" : "");
            return false;
        }
        if (!CheckNesting())
            return false;
    }

    // The journal mode is kept in the file. Where write-ahead logging is impossible SQLite stays
    // with its rollback journal, which is as safe against a kill.
    Exec("PRAGMA journal_mode = WAL");
    if (!Exec("PRAGMA synchronous = NORMAL"))
        return Fail("cannot set up the connection");
    if (tables.empty()) {
        // Another process may be creating the tables at the same time: IF NOT EXISTS, OR IGNORE.
        const std::string create = std::string("BEGIN IMMEDIATE;") + c_createSchema + "COMMIT;";
        if (!Exec(create.c_str())) {
            Fail("cannot create the tables");
            Exec("ROLLBACK");
            return false;
        }
    }
    return Prepare() || Fail("cannot prepare the statements");
}

bool CSqliteStore::Load(const tSetKey& key, utl::CPropSet& set)
{
    m_impl->error.clear();
    if (!m_impl->db)
        return false; // no file yet: nothing stored
    bool stored = false;
    std::vector<utl::CPropSet::Entry> entries;
    // One read transaction: the three tables are seen in one state.
    if (!m_impl->Transaction("BEGIN", "cannot read", [&] { return m_impl->ReadRows(key, stored, entries); }))
        return false;
    for (auto& [prop, value] : entries)
        set.SetProperty(prop, value);
    return stored;
}

bool CSqliteStore::Save(const std::vector<std::pair<tSetKey, utl::PropSetPtr>>& sets)
{
    if (!m_impl->db && !m_impl->Connect())
        return false;
    // Everything is read from the sets before the file is locked.
    std::vector<std::pair<tSetKey, tSetRows>> rows;
    rows.reserve(sets.size());
    for (const auto& [key, set] : sets)
        rows.emplace_back(key, set ? Serialise(set) : tSetRows());
    return m_impl->Transaction("BEGIN IMMEDIATE", "cannot write", [&] {
        for (const auto& [key, setRows] : rows)
            if (!m_impl->WriteRows(key, setRows))
                return false;
        return true;
    });
}

bool CSqliteStore::SaveChanges(const std::vector<tSetChanges>& changes)
{
    if (!m_impl->db && !m_impl->Connect())
        return false;
    return m_impl->Transaction("BEGIN IMMEDIATE", "cannot write", [&] {
        for (const auto& change : changes) {
            utl::PropSetPtr merged = change.current;
            if (change.base) {
                bool stored = false;
                std::vector<utl::CPropSet::Entry> entries;
                if (!m_impl->ReadRows(change.key, stored, entries))
                    return false;
                merged = boost::make_shared<utl::CPropSet>();
                merged->Assign(std::move(entries));
                MergeChanges(*change.base, *change.current, merged.get());
            }
            if (!m_impl->WriteRows(change.key, Serialise(merged)))
                return false;
        }
        return true;
    });
}

bool CSqliteStore::Erase(const tSetKey& key)
{
    m_impl->error.clear();
    if (!m_impl->db)
        return true; // no file yet: nothing to forget
    return m_impl->Transaction("BEGIN IMMEDIATE", "cannot erase", [&] { return m_impl->EraseRows(key); });
}

std::vector<tSetKey> CSqliteStore::StoredKeys()
{
    std::vector<tSetKey> keys;
    m_impl->error.clear();
    if (!m_impl->db)
        return keys;
    sqlite3_stmt* stmt = m_impl->selectKeys.Get();
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW)
        keys.push_back(tSetKey{sqlite3_column_int(stmt, 0), static_cast<std::uint32_t>(sqlite3_column_int64(stmt, 1))});
    sqlite3_reset(stmt);
    if (rc != SQLITE_DONE)
        m_impl->Fail("cannot read");
    return keys;
}

bool CSqliteStore::FileExists() const { return m_impl->db != nullptr; }

const std::string& CSqliteStore::Path() const { return m_impl->path; }

const std::string& CSqliteStore::LastError() const { return m_impl->error; }

} // namespace cfg
