#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <vector>

#include <mem/CBin.h>
#include <utl/CPropSet.h>

// How a tree of property sets is laid out in the rows of the settings database, and how a row is
// read back into a value. Used by CSqliteStore only.
namespace cfg::detail {

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

// Every set reachable from `root` gets a number (the root 0) and its rows; a set reached twice is
// written once. The sets are held while they are read: another thread may take them out of the
// tree meanwhile.
tSetRows Serialise(const utl::PropSetPtr& root);

// The value of a property row, with its type code and unit checked. False for a row that no
// value of this library can have written; `value` is then meaningless.
bool Decode(sqlite3_stmt* stmt, int typeColumn, mem::CBin& value);

} // namespace cfg::detail
