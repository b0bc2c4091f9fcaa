#include <cfg/CSqliteStore.h>

#include <cfg/SetChanges.h>

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <set>
#include <unordered_map>

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

// Wide strings are kept as UTF-8 text when they are valid Unicode.

void AppendUtf8(std::uint32_t cp, std::string& out)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool IsScalarValue(std::uint32_t cp) { return cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF); }

// False when `text` is not valid Unicode (lone surrogates, values past U+10FFFF).
bool ToUtf8(const std::wstring& text, std::string& out)
{
    out.clear();
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t cp = 0;
        if constexpr (sizeof(wchar_t) == 2) {
            const std::uint32_t unit = static_cast<std::uint16_t>(text[i]);
            if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size()) {
                const std::uint32_t low = static_cast<std::uint16_t>(text[i + 1]);
                if (low < 0xDC00 || low > 0xDFFF)
                    return false;
                cp = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            } else {
                cp = unit;
            }
        } else {
            // A wchar_t, not a char: a negative one becomes no scalar value and is refused below.
            cp = static_cast<std::uint32_t>(text[i]); // NOLINT(bugprone-signed-char-misuse)
        }
        if (!IsScalarValue(cp))
            return false;
        AppendUtf8(cp, out);
    }
    return true;
}

// Strict: false for anything but well-formed UTF-8.
bool FromUtf8(const unsigned char* text, std::size_t size, std::wstring& out)
{
    out.clear();
    for (std::size_t i = 0; i < size;) {
        const unsigned char lead = text[i];
        std::size_t length = 0;
        std::uint32_t cp = 0, minimum = 0;
        if (lead < 0x80) {
            length = 1;
            cp = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            cp = lead & 0x1F;
            minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            cp = lead & 0x0F;
            minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            cp = lead & 0x07;
            minimum = 0x10000;
        } else {
            return false;
        }
        if (size - i < length)
            return false;
        for (std::size_t k = 1; k < length; ++k) {
            if ((text[i + k] & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (text[i + k] & 0x3F);
        }
        if (cp < minimum || !IsScalarValue(cp))
            return false;
        if constexpr (sizeof(wchar_t) == 2) {
            if (cp >= 0x10000) {
                out += static_cast<wchar_t>(0xD800 + ((cp - 0x10000) >> 10));
                out += static_cast<wchar_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
            } else {
                out += static_cast<wchar_t>(cp);
            }
        } else {
            out += static_cast<wchar_t>(cp);
        }
        i += length;
    }
    return true;
}

// One row of the property table, as it is written.
struct tPropertyRow {
    enum EKind { eNull, eInteger, eReal, eText, eBlob };
    int setNo = 0;
    int prop = 0;
    int type = mem::c_tEmpty;
    bool hasUnit = false;
    int unit = 0;
    EKind kind = eNull;
    std::int64_t integer = 0;
    double real = 0.0;
    std::string bytes; // text or blob
};

// One row of the set_element table; child -1 for a null element.
struct tElementRow {
    int setNo = 0;
    int prop = 0;
    int pos = 0;
    int child = -1;
};

// The rows of one set and everything nested in it.
struct tSetRows {
    std::vector<tPropertyRow> properties;
    std::vector<tElementRow> elements;
};

// The stored form of a value other than a property-set vector. False for a type code that no
// value can have.
bool Encode(const mem::CBin& value, tPropertyRow& row)
{
    row.type = value.GetTypeCode();
    utl::CUnit unit;
    row.hasUnit = value.GetUnit(unit);
    row.unit = unit.GetCode();
    const std::size_t elementSize = mem::ElementSize(row.type);
    if (row.type == mem::c_tEmpty) {
        row.kind = tPropertyRow::eNull;
    } else if (row.type == mem::c_tWString) {
        std::wstring text;
        value.Restore(text);
        if (ToUtf8(text, row.bytes)) {
            row.kind = tPropertyRow::eText;
        } else {
            row.kind = tPropertyRow::eBlob;
            row.bytes.assign(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
        }
    } else if (elementSize != 0 && value.GetSize() == elementSize) {
        std::int32_t i32 = 0;
        std::int64_t i64 = 0;
        double d = 0.0;
        if (value.Get(i32)) {
            row.kind = tPropertyRow::eInteger;
            row.integer = i32;
        } else if (value.Get(i64)) {
            row.kind = tPropertyRow::eInteger;
            row.integer = i64;
        } else if (value.Get(d) && !std::isnan(d)) {
            // SQLite turns a NaN into NULL; NaNs are kept as their bytes below.
            row.kind = tPropertyRow::eReal;
            row.real = d;
        } else if (row.type == mem::c_tBool) {
            // The byte as it is, so that even a byte other than 0 and 1 comes back unchanged.
            row.kind = tPropertyRow::eInteger;
            row.integer = *static_cast<const unsigned char*>(value.privGetPtr());
        } else {
            row.kind = tPropertyRow::eBlob;
            row.bytes.assign(static_cast<const char*>(value.privGetPtr()), value.GetSize());
        }
    } else if (elementSize != 0) {
        // Arrays (and reserved values of no elements) keep their bytes.
        row.kind = tPropertyRow::eBlob;
        if (value.GetSize() != 0)
            row.bytes.assign(static_cast<const char*>(value.privGetPtr()), value.GetSize());
    } else {
        return false;
    }
    return true;
}

// Every set reachable from `root` gets a number (the root 0) and its rows; a set reached twice is
// written once. The sets are held while they are read: another thread may take them out of the
// tree meanwhile.
tSetRows Serialise(const utl::PropSetPtr& root)
{
    tSetRows rows;
    std::vector<utl::PropSetPtr> sets{root};
    std::unordered_map<const utl::CPropSet*, int> numbers{{root.get(), 0}};
    for (std::size_t setNo = 0; setNo < sets.size(); ++setNo) {
        for (const auto& [prop, value] : sets[setNo]->Snapshot()) {
            tPropertyRow row;
            row.setNo = static_cast<int>(setNo);
            row.prop = prop;
            mem::PropSetVector nested;
            if (value.Restore(nested)) {
                row.type = mem::c_tPropSets;
                utl::CUnit unit;
                row.hasUnit = value.GetUnit(unit);
                row.unit = unit.GetCode();
                for (std::size_t pos = 0; pos < nested.size(); ++pos) {
                    tElementRow element{static_cast<int>(setNo), prop, static_cast<int>(pos), -1};
                    if (const utl::PropSetPtr& child = nested[pos]) {
                        auto [it, added] = numbers.emplace(child.get(), static_cast<int>(sets.size()));
                        if (added)
                            sets.push_back(child);
                        element.child = it->second;
                    }
                    rows.elements.push_back(element);
                }
            } else if (!Encode(value, row)) {
                continue;
            }
            rows.properties.push_back(std::move(row));
        }
    }
    return rows;
}

// The value of a property row, with its type code and unit checked. False for a row that no
// value of this library can have written; `value` is then meaningless.
bool Decode(sqlite3_stmt* stmt, int typeColumn, mem::CBin& value)
{
    const int type = sqlite3_column_int(stmt, typeColumn);
    const int unitColumn = typeColumn + 1, valueColumn = typeColumn + 2;
    const int storage = sqlite3_column_type(stmt, valueColumn);
    const std::size_t elementSize = mem::ElementSize(type);
    value.InitEmpty();
    if (type == mem::c_tEmpty || type == mem::c_tPropSets) {
        if (storage != SQLITE_NULL)
            return false;
        if (type == mem::c_tPropSets)
            value.Store(mem::PropSetVector()); // the elements are filled in by the caller
    } else if (type == mem::c_tWString) {
        const auto* bytes = static_cast<const unsigned char*>(sqlite3_column_blob(stmt, valueColumn));
        const auto size = static_cast<std::size_t>(sqlite3_column_bytes(stmt, valueColumn));
        std::wstring text;
        if (storage == SQLITE_TEXT) {
            if (!FromUtf8(bytes, size, text))
                return false;
        } else if (storage == SQLITE_BLOB && size % sizeof(wchar_t) == 0) {
            text.resize(size / sizeof(wchar_t));
            if (size != 0)
                std::memcpy(text.data(), bytes, size);
        } else {
            return false;
        }
        value.Store(text);
    } else if (elementSize != 0) {
        if (storage == SQLITE_INTEGER) {
            const sqlite3_int64 stored = sqlite3_column_int64(stmt, valueColumn);
            if (type == mem::c_tInt64) {
                value.Set(static_cast<std::int64_t>(stored));
            } else if (type == mem::c_tInt && stored >= std::numeric_limits<std::int32_t>::min() &&
                       stored <= std::numeric_limits<std::int32_t>::max()) {
                value.Set(static_cast<std::int32_t>(stored));
            } else if (type == mem::c_tBool && stored >= 0 && stored <= 0xFF) {
                *static_cast<unsigned char*>(value.Reserve(mem::c_tBool, 1)) = static_cast<unsigned char>(stored);
            } else {
                return false;
            }
        } else if (storage == SQLITE_FLOAT && type == mem::c_tDouble) {
            value.Set(sqlite3_column_double(stmt, valueColumn));
        } else if (storage == SQLITE_BLOB) {
            const auto size = static_cast<std::size_t>(sqlite3_column_bytes(stmt, valueColumn));
            if (size % elementSize != 0)
                return false;
            void* data = value.Reserve(type, size / elementSize);
            if (size != 0)
                std::memcpy(data, sqlite3_column_blob(stmt, valueColumn), size);
        } else {
            return false;
        }
    } else {
        return false;
    }
    if (sqlite3_column_type(stmt, unitColumn) != SQLITE_NULL) {
        const auto unit = utl::CUnit::FromCode(sqlite3_column_int(stmt, unitColumn));
        if (!unit)
            return false;
        value.SetUnit(*unit);
    }
    return true;
}

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

// How deep sets may nest below the set of a key. A stage nests one level (its axes); the bound
// keeps a hostile or damaged file from sending a reader of its sets into endless recursion.
constexpr int c_maxNestingDepth = 16;

// The nesting of the sets of one key, as the pairs (set, nested set) of its set_element rows:
// Fault() says why it cannot be loaded, or answers "" when no set contains itself at any depth
// and no chain of nested sets is deeper than c_maxNestingDepth. Recursion stops at that depth.
class CNestingCheck {
public:
    void Add(int setNo, int child) { m_children.emplace(setNo, child); }

    std::string Fault()
    {
        for (const auto& entry : m_children) {
            const int height = Height(entry.first, 0);
            if (height == c_cycle)
                return "a nested set contains itself";
            if (height > c_maxNestingDepth)
                return "sets nest deeper than " + std::to_string(c_maxNestingDepth) + " levels";
        }
        return "";
    }

private:
    static constexpr int c_cycle = -1;

    // How many levels of sets lie below `setNo`, found `depth` levels below the set measured
    // first; c_cycle on a cycle, more than the bound (without looking further) on a chain too deep.
    int Height(int setNo, int depth)
    {
        if (const auto done = m_height.find(setNo); done != m_height.end())
            return done->second;
        if (depth > c_maxNestingDepth)
            return depth;
        if (!m_path.insert(setNo).second)
            return c_cycle;
        int height = 0;
        for (auto [it, end] = m_children.equal_range(setNo); it != end && height <= c_maxNestingDepth; ++it) {
            const int below = Height(it->second, depth + 1);
            if (below == c_cycle) {
                m_path.erase(setNo);
                return c_cycle;
            }
            height = std::max(height, below + 1);
        }
        m_path.erase(setNo);
        m_height[setNo] = height;
        return height;
    }

    std::multimap<int, int> m_children;
    std::map<int, int> m_height; // sets already measured
    std::set<int> m_path;        // the sets on the way down to the one being measured
};

} // namespace

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
