// The SQLite store on its own: exact round trips, files it must not use.

#include <cfg/CSqliteStore.h>

#include <sqlite3.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>

#include "ConfigTestSupport.h"

namespace {

using namespace cfgtest;
using mem::CBin;
using std::numeric_limits;

CBin DoubleBits(std::uint64_t bits)
{
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return Value(value);
}

// Runs SQL on the file through a plain connection; the first column of the first row.
std::string Sql(const std::string& file, const std::string& sql)
{
    sqlite3* db = nullptr;
    sqlite3_stmt* stmt = nullptr;
    std::string text;
    sqlite3_open(file.c_str(), &db);
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW &&
        sqlite3_column_text(stmt, 0))
        text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return text;
}

TEST(SqliteStore, EveryKindOfValueAndNestedSetsComeBackExactly)
{
    const CBin values[] = {
        CBin(),
        Int(numeric_limits<std::int32_t>::min()),
        Int(numeric_limits<std::int32_t>::max()),
        Value(numeric_limits<std::int64_t>::min()),
        Value(numeric_limits<std::int64_t>::max()),
        Value(0.1),
        Value(-0.0),
        Value(3.0), // stays a double
        Value(-numeric_limits<double>::infinity()),
        DoubleBits(0xFFF4000000000123ull), // a NaN with a payload
        Value(1.25, &utl::c_mm),
        Value(-2.5, &utl::c_nm),
        Value(true),
        Value(false),
        Value(std::wstring(L"Stage \u00b5m \U0001F52C")),
        Value(std::wstring()),
        Value(std::wstring(1, static_cast<wchar_t>(0xD800)) + L"x"), // not valid Unicode
        Sets({}),
    };
    const auto shared = NewSet({{1, Int(5)}});
    const auto axis = NewSet({{1, Value(2.5, &utl::c_mum)}, {7, Sets({shared, nullptr, NewSet()})}});
    const auto set = NewSet({{1000, Sets({axis, NewSet({{7, Sets({shared})}}), nullptr})}});
    for (std::size_t i = 0; i < std::size(values); ++i)
        set->SetProperty(static_cast<int>(i), values[i]);

    CTempDir dir;
    StoreSet(dir.File("config.db"), {3, 17}, set);
    const auto loaded = StoredSet(dir.File("config.db"), {3, 17}); // another connection
    ASSERT_TRUE(loaded);
    EXPECT_EQ(Difference(*set, *loaded), std::nullopt);
    for (std::size_t i = 0; i < std::size(values); ++i) {
        CBin value;
        EXPECT_TRUE(loaded->GetProperty(static_cast<int>(i), value) && value == values[i]) << "value " << i;
        EXPECT_EQ(value.HasUnit(), values[i].HasUnit()) << "value " << i;
    }
    // One shared set stays one set.
    const auto axes = SetsOf(*loaded, 1000);
    ASSERT_EQ(axes.size(), 3u);
    EXPECT_EQ(SetsOf(*axes[0], 7).at(0), SetsOf(*axes[1], 7).at(0));
}

struct tUnusable {
    const char* name;
    std::function<void(const std::string& file)> make;
    const char* reason; // part of the error
};

const std::vector<tUnusable> c_unusable{
    {"text file", [](const std::string& f) { WriteBytes(f, std::string(5000, 'x')); }, "not a usable database"},
    {"damaged database",
     [](const std::string& f) {
         mem::PropSetVector many(200, NewSet({{1, Value(std::wstring(200, L'a'))}}));
         for (auto& set : many)
             set = set->Clone();
         StoreSet(f, {1, 1}, NewSet({{1, Sets(many)}}));
         Sql(f, "PRAGMA journal_mode = DELETE"); // everything in the one file
         std::string bytes = ReadBytes(f);
         for (std::size_t i = 4096 + 100; i < bytes.size(); i += 7)
             bytes[i] = static_cast<char>(0xA5);
         WriteBytes(f, bytes);
     },
     "damaged"},
    {"another program's database", [](const std::string& f) { Sql(f, "CREATE TABLE photos(name TEXT)"); },
     "not a Plinth configuration file"},
    {"newer schema",
     [](const std::string& f) {
         StoreSet(f, {1, 1}, NewSet());
         Sql(f, "UPDATE meta SET value = 2 WHERE name = 'schema_version'");
     },
     "newer version"},
    {"a directory", [](const std::string& f) { std::filesystem::create_directories(f); }, ""},
};

TEST(SqliteStore, FilesItCannotUseAreRefusedAndLeftAsTheyWere)
{
    for (const auto& c : c_unusable) {
        SCOPED_TRACE(c.name);
        CTempDir dir;
        const std::string file = dir.File("config.db");
        c.make(file);
        const std::string before = ReadBytes(file);
        std::string error;
        EXPECT_FALSE(cfg::CSqliteStore::Open(file, error));
        EXPECT_NE(error.find(file), std::string::npos) << error;
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        EXPECT_TRUE(ReadBytes(file) == before);
        EXPECT_FALSE(std::filesystem::exists(file + "-wal"));
    }
}

} // namespace
