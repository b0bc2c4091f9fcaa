#pragma once

#include <memory>
#include <string>
#include <vector>

#include <cfg/IPropSetStore.h>

namespace cfg {

// A store in an SQLite file: what the configuration database keeps its settings in by default.
//
// Every value of a property set comes back exactly as it was saved: its type code, its bytes
// (scalars and scalar arrays, NaNs and negative zero included), its unit, wide strings (also ones
// that are not valid Unicode) and property-set vectors with their nested sets, recursively (null
// elements stay null, a set that appears twice stays one shared set).
//
// Schema (version 1):
//   meta(name, value)            the row ('schema_version', 1)
//   stored_set(grp, id)          one row per stored key, also for an empty set
//   property(grp, id, set_no, prop, type, unit, value)
//                                one row per property; set_no 0 is the set of the key, nested sets
//                                are numbered from 1; unit is the utl::CUnit code or NULL without a
//                                unit; value is an INTEGER (int32, int64, bool), a REAL (double), a
//                                TEXT in UTF-8 (wide string), a BLOB of the raw bytes (scalar
//                                arrays, NaN, wide strings that are not valid Unicode) or NULL (empty
//                                value, property-set vector)
//   set_element(grp, id, set_no, prop, pos, child_no)
//                                the elements of a property-set vector in order; child_no NULL for
//                                a null element
//
// Saves and erasures are transactions in write-ahead-log mode (a rollback journal where the file
// system cannot share memory), so a process killed while writing leaves the old or the new state.
// Several processes may use one file: SQLite's locking serialises their transactions, and a store
// waits up to 5 s for another process's transaction before it gives up.
//
// One object is one connection; it is not safe for concurrent use (the database serialises its
// calls).
class CSqliteStore : public IPropSetStore {
public:
    static constexpr int c_schemaVersion = 1;

    // Opens the file at `path`, creating the file and its directory when absent. Null, with the
    // reason in `error`, when the file cannot be used: it cannot be created, opened or written, it
    // is not an SQLite database, it is damaged, it belongs to another program or to a newer
    // version of this library. Such a file is left exactly as it was.
    // With `createNow` false an absent file is created only by the first Save (until then the
    // store holds nothing), and that Save fails when the file cannot be made.
    static std::unique_ptr<CSqliteStore> Open(const std::string& path, std::string& error, bool createNow = true);
    ~CSqliteStore() override;
    CSqliteStore(const CSqliteStore&) = delete;
    CSqliteStore& operator=(const CSqliteStore&) = delete;

    // False also on an error, with LastError() telling it.
    bool Load(const tSetKey& key, utl::CPropSet& set) override;
    bool Save(const std::vector<std::pair<tSetKey, utl::PropSetPtr>>& sets) override;
    // Reads what is stored, merges the changes in and writes the result, in one transaction that
    // holds the file's write lock: what another process stored meanwhile is kept.
    bool SaveChanges(const std::vector<tSetChanges>& changes) override;
    bool Erase(const tSetKey& key) override;
    bool WantsWriteBack() const override { return true; }

    // The keys stored in the file, ascending.
    std::vector<tSetKey> StoredKeys();
    // False while the creation of an absent file waits for the first Save.
    bool FileExists() const;
    const std::string& Path() const;
    // What went wrong in the last call; empty when it succeeded.
    const std::string& LastError() const;

private:
    struct Impl;
    explicit CSqliteStore(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};

} // namespace cfg
