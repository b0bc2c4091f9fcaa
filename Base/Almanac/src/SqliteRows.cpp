#include "SqliteRows.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <unordered_map>

#include <boost/make_shared.hpp>

namespace cfg::detail {
namespace {

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
} // namespace

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

} // namespace cfg::detail
