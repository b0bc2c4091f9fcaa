// The SQLite store on its own: exact round trips, the schema, files it must not use.

#include <cfg/CSqliteStore.h>

#include <sqlite3.h>

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>

#include "ConfigTestSupport.h"

namespace {

using namespace cfgtest;
using cfg::CSqliteStore;
using cfg::tSetKey;
using mem::CBin;
using utl::CPropSet;

std::unique_ptr<CSqliteStore> OpenStore(const std::string& path)
{
    std::string error;
    auto store = CSqliteStore::Open(path, error);
    EXPECT_TRUE(store) << error;
    EXPECT_TRUE(error.empty());
    return store;
}

// A scalar array of `count` elements holding 1, 2, 3, ...
template <class T>
CBin Array(std::size_t count)
{
    CBin bin;
    auto* data = static_cast<T*>(bin.Reserve(mem::TypeCodeOf<T>::value, count));
    for (std::size_t i = 0; i < count; ++i)
        data[i] = static_cast<T>(i + 1);
    return bin;
}

CBin DoubleBits(std::uint64_t bits)
{
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return CBin::Of(value);
}

CBin BoolByte(unsigned char byte)
{
    CBin bin;
    *static_cast<unsigned char*>(bin.Reserve(mem::c_tBool, 1)) = byte;
    return bin;
}

CBin WithUnit(CBin bin, const utl::CUnit& unit)
{
    bin.SetUnit(unit);
    return bin;
}

struct tValueCase {
    const char* name;
    CBin value;
};

std::vector<tValueCase> ValueCases()
{
    std::vector<tValueCase> cases{
        {"empty", CBin()},
        {"empty with a unit", WithUnit(CBin(), utl::c_mm)},
        {"int32 0", Int(0)},
        {"int32 min", Int(std::numeric_limits<std::int32_t>::min())},
        {"int32 max", Int(std::numeric_limits<std::int32_t>::max())},
        {"int64 min", Int64(std::numeric_limits<std::int64_t>::min())},
        {"int64 max", Int64(std::numeric_limits<std::int64_t>::max())},
        {"int64 -1", Int64(-1)},
        {"double", Double(0.1)},
        {"double -0", Double(-0.0)},
        {"double denormal", Double(std::numeric_limits<double>::denorm_min())},
        {"double max", Double(std::numeric_limits<double>::max())},
        {"double +inf", Double(std::numeric_limits<double>::infinity())},
        {"double -inf", Double(-std::numeric_limits<double>::infinity())},
        {"double quiet NaN", Double(std::numeric_limits<double>::quiet_NaN())},
        {"double NaN with payload", DoubleBits(0xFFF4000000000123ull)},
        {"double integral", Double(3.0)},
        {"bool true", Bool(true)},
        {"bool false", Bool(false)},
        {"bool byte 2", BoolByte(2)},
        {"int32 with a unit", WithUnit(Int(7), utl::c_deg)},
        {"int32 array", Array<std::int32_t>(5)},
        {"int64 array", Array<std::int64_t>(3)},
        {"double array", Array<double>(4)},
        {"bool array", Array<bool>(9)},
        {"int32 array of none", Array<std::int32_t>(0)},
        {"text", Text(L"Stage X")},
        {"empty text", Text(L"")},
        {"text beyond ASCII", Text(L"\u00b5m \u00e4\u00f6\u00fc \u20ac \U0001F52C")},
        {"text with NULs", Text(std::wstring(L"a\0b\0", 4))},
        {"text with a lone surrogate", Text(std::wstring(1, static_cast<wchar_t>(0xD800)) + L"x")},
        {"text past U+10FFFF", Text(std::wstring(1, static_cast<wchar_t>(0x110000)))},
        {"text with a unit", WithUnit(Text(L"x"), utl::c_nm)},
        {"empty set vector", Sets({})},
        {"set vector with a unit", WithUnit(Sets({NewSet()}), utl::c_rad)},
    };
    for (auto code :
         {utl::EUnitCode::Null, utl::EUnitCode::Metre, utl::EUnitCode::Millimetre, utl::EUnitCode::Micrometre,
          utl::EUnitCode::Nanometre, utl::EUnitCode::Degree, utl::EUnitCode::Radian})
        cases.push_back({"double with a unit", Double(1.25, utl::CUnit(code))});
    return cases;
}

class SqliteStore : public ::testing::Test {
protected:
    CTempDir m_dir;
    std::string m_file = m_dir.File("config.db");
};

TEST_F(SqliteStore, EveryKindOfValueComesBackExactly)
{
    const auto cases = ValueCases();
    auto set = NewSet();
    for (std::size_t i = 0; i < cases.size(); ++i)
        set->SetProperty(static_cast<int>(i), cases[i].value);
    {
        auto store = OpenStore(m_file);
        ASSERT_TRUE(store->Save({{{3, 17}, set}})) << store->LastError();
    }
    auto store = OpenStore(m_file); // another connection: nothing comes from a cache
    CPropSet loaded;
    ASSERT_TRUE(store->Load({3, 17}, loaded)) << store->LastError();
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        CBin value;
        ASSERT_TRUE(loaded.GetProperty(static_cast<int>(i), value));
        mem::PropSetVector sets;
        if (cases[i].value.Restore(sets)) {
            EXPECT_EQ(SetsOf(loaded, static_cast<int>(i)).size(), sets.size());
            EXPECT_EQ(value.HasUnit(), cases[i].value.HasUnit());
            continue;
        }
        EXPECT_TRUE(value == cases[i].value); // type, bytes and unit
        utl::CUnit unit, expectedUnit;
        EXPECT_EQ(value.GetUnit(unit), cases[i].value.GetUnit(expectedUnit));
        EXPECT_EQ(unit, expectedUnit);
    }
    EXPECT_EQ(Difference(*set, loaded), std::nullopt);
}

TEST_F(SqliteStore, NestedSetsComeBackWithTheirShapeSharingAndNullElements)
{
    const auto leaf = NewSet({{1, Double(2.5, utl::c_mum)}, {2, Text(L"leaf")}});
    const auto shared = NewSet({{1, Int(5)}});
    const auto axis1 = NewSet({{52021, Int(1)}, {7, Sets({leaf, nullptr, shared})}});
    const auto axis2 = NewSet({{52021, Int(2)}, {7, Sets({shared})}, {8, Sets({})}});
    const auto empty = NewSet();
    const auto root = NewSet({{51501, Sets({axis1, axis2, empty, nullptr})}, {51500, Bool(true)}});

    OpenStore(m_file)->Save({{{3, 1}, root}});
    CPropSet loaded;
    ASSERT_TRUE(OpenStore(m_file)->Load({3, 1}, loaded));
    EXPECT_EQ(Difference(*root, loaded), std::nullopt);

    const auto axes = SetsOf(loaded, 51501);
    ASSERT_EQ(axes.size(), 4u);
    EXPECT_FALSE(axes[3]);
    EXPECT_EQ(axes[2]->Count(), 0u);
    const auto first = SetsOf(*axes[0], 7), second = SetsOf(*axes[1], 7);
    ASSERT_EQ(first.size(), 3u);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_FALSE(first[1]);
    EXPECT_EQ(first[2], second[0]); // one shared set, as saved
    EXPECT_NE(first[2], shared);    // but a new object
}

TEST_F(SqliteStore, SaveReplacesLoadMergesEraseForgets)
{
    auto store = OpenStore(m_file);
    CPropSet nothing;
    EXPECT_FALSE(store->Load({1, 1}, nothing));
    EXPECT_TRUE(store->LastError().empty()); // nothing stored is no error

    ASSERT_TRUE(store->Save({{{1, 1}, NewSet({{1, Int(1)}, {2, Sets({NewSet({{1, Int(1)}})})}})},
                             {{1, 2}, NewSet()},
                             {{2, 1}, NewSet({{1, Int(21)}})}}));
    EXPECT_EQ(store->StoredKeys(), (std::vector<tSetKey>{{1, 1}, {1, 2}, {2, 1}}));
    CPropSet emptyOne;
    EXPECT_TRUE(store->Load({1, 2}, emptyOne)); // an empty set is stored too
    EXPECT_EQ(emptyOne.Count(), 0u);

    // A new save of a key replaces everything of it, nested rows included.
    ASSERT_TRUE(store->Save({{{1, 1}, NewSet({{3, Int(3)}})}}));
    // Loading overwrites what the set holds for stored IDs and keeps the rest.
    auto into = NewSet({{1, Int(100)}, {3, Int(300)}});
    ASSERT_TRUE(store->Load({1, 1}, *into));
    EXPECT_EQ(into->GetPropertyIDs(), (std::vector<int>{1, 3}));
    EXPECT_EQ(IntOf(*into, 1), 100);
    EXPECT_EQ(IntOf(*into, 3), 3);

    ASSERT_TRUE(store->Erase({1, 1}));
    ASSERT_TRUE(store->Erase({7, 7})); // nothing there: fine
    EXPECT_EQ(store->StoredKeys(), (std::vector<tSetKey>{{1, 2}, {2, 1}}));
    CPropSet gone;
    EXPECT_FALSE(store->Load({1, 1}, gone));
    EXPECT_EQ(gone.Count(), 0u);

    // Keys span the whole range of the ID.
    ASSERT_TRUE(store->Save({{{-5, 0xFFFFFFFFu}, NewSet({{1, Int(1)}})}}));
    EXPECT_EQ(store->StoredKeys().front(), (tSetKey{-5, 0xFFFFFFFFu}));
}

// Runs SQL on the file through a plain connection.
void Sql(const std::string& file, const std::string& sql)
{
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    char* message = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
    EXPECT_EQ(rc, SQLITE_OK) << (message ? message : "") << " in " << sql;
    sqlite3_free(message);
    sqlite3_close(db);
}

std::string SqlText(const std::string& file, const std::string& sql)
{
    sqlite3* db = nullptr;
    std::string text;
    if (sqlite3_open(file.c_str(), &db) == SQLITE_OK) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW &&
            sqlite3_column_text(stmt, 0))
            text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return text;
}

TEST_F(SqliteStore, SchemaHasAVersionRowAndTheFileAWriteAheadLog)
{
    const std::string file = m_dir.File("deeper/still/config.db"); // directories are made
    ASSERT_TRUE(OpenStore(file));
    EXPECT_EQ(SqlText(file, "SELECT value FROM meta WHERE name = 'schema_version'"), "1");
    EXPECT_EQ(SqlText(file, "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name IN "
                            "('meta', 'stored_set', 'property', 'set_element')"),
              "4");
    EXPECT_EQ(SqlText(file, "PRAGMA journal_mode"), "wal");
    EXPECT_EQ(CSqliteStore::c_schemaVersion, 1);
    // Opening again changes nothing.
    ASSERT_TRUE(OpenStore(file));
    EXPECT_EQ(SqlText(file, "SELECT count(*) FROM meta"), "1");
}

TEST_F(SqliteStore, RowsThisLibraryCannotHaveWrittenAreLeftOut)
{
    ASSERT_TRUE(OpenStore(m_file)->Save({{{1, 1}, NewSet({{1, Int(1)}})}}));
    Sql(m_file, "INSERT INTO property VALUES(1, 1, 0, 2, 5, NULL, 1.5);"                     // int as a real
                "INSERT INTO property VALUES(1, 1, 0, 3, 5, NULL, 4294967296);"              // int32 out of range
                "INSERT INTO property VALUES(1, 1, 0, 4, 10, 99, 1.0);"                      // unknown unit
                "INSERT INTO property VALUES(1, 1, 0, 5, 77, NULL, 1);"                      // unknown type
                "INSERT INTO property VALUES(1, 1, 0, 6, 274, NULL, x'C0AF');"               // text as odd bytes
                "INSERT INTO property VALUES(1, 1, 0, 7, 274, NULL, CAST(x'C0AF' AS TEXT));" // bad UTF-8
                "INSERT INTO property VALUES(1, 1, 0, 8, 7, NULL, x'0102');"                 // int64 of 2 bytes
                "INSERT INTO property VALUES(1, 1, 0, 9, 12, NULL, 300);"                    // bool past a byte
                "INSERT INTO property VALUES(1, 1, 0, 10, 0, NULL, 5);"                      // empty with a value
                "INSERT INTO property VALUES(1, 1, 0, 11, 10, NULL, 2.5);");                 // fine
    CPropSet loaded;
    ASSERT_TRUE(OpenStore(m_file)->Load({1, 1}, loaded));
    EXPECT_EQ(loaded.GetPropertyIDs(), (std::vector<int>{1, 11}));
}

struct tUnusableCase {
    const char* name;
    std::function<void(const std::string& file)> make; // makes what is at `file`
    const char* reason;                                // part of the error
};

std::vector<tUnusableCase> UnusableCases()
{
    return {
        {"text file", [](const std::string& f) { WriteBytes(f, std::string(5000, 'x') + "settings"); },
         "not a usable database"},
        {"damaged database",
         [](const std::string& f) {
             {
                 std::string error;
                 auto store = CSqliteStore::Open(f, error);
                 mem::PropSetVector many;
                 for (int i = 0; i < 200; ++i)
                     many.push_back(NewSet({{1, Text(std::wstring(200, L'a'))}}));
                 store->Save({{{1, 1}, NewSet({{1, Sets(many)}})}});
             }
             Sql(f, "PRAGMA journal_mode = DELETE"); // everything in the one file
             std::string bytes = ReadBytes(f);
             for (std::size_t i = 4096 + 100; i < bytes.size(); i += 7)
                 bytes[i] = static_cast<char>(0xA5);
             WriteBytes(f, bytes);
         },
         "damaged"},
        {"database of another program",
         [](const std::string& f) { Sql(f, "CREATE TABLE photos(name TEXT); INSERT INTO photos VALUES('a');"); },
         "not a Plinth configuration file"},
        {"newer schema",
         [](const std::string& f) {
             {
                 std::string error;
                 CSqliteStore::Open(f, error);
             }
             Sql(f, "UPDATE meta SET value = 2 WHERE name = 'schema_version'");
         },
         "newer version"},
        {"a directory", [](const std::string& f) { std::filesystem::create_directories(f); }, ""},
    };
}

TEST_F(SqliteStore, FilesItCannotUseAreRefusedAndLeftAsTheyWere)
{
    for (const auto& c : UnusableCases()) {
        SCOPED_TRACE(c.name);
        CTempDir dir;
        const std::string file = dir.File("config.db");
        c.make(file);
        const bool isFile = std::filesystem::is_regular_file(file);
        const std::string before = isFile ? ReadBytes(file) : "";
        std::string error;
        EXPECT_FALSE(CSqliteStore::Open(file, error));
        EXPECT_NE(error.find(file), std::string::npos) << error;
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        if (isFile) {
            EXPECT_TRUE(ReadBytes(file) == before);
            EXPECT_FALSE(Exists(file + "-wal"));
        }
    }
    // A directory that cannot be made.
    WriteBytes(m_dir.File("plain"), "x");
    std::string error;
    EXPECT_FALSE(CSqliteStore::Open(m_dir.File("plain/config.db"), error));
    EXPECT_NE(error.find("cannot create the directory"), std::string::npos) << error;
    EXPECT_FALSE(CSqliteStore::Open("", error));
    EXPECT_FALSE(error.empty());
}

TEST_F(SqliteStore, AnAbsentFileCanWaitForTheFirstSave)
{
    const std::string file = m_dir.File("later/config.db");
    std::string error;
    auto store = CSqliteStore::Open(file, error, false);
    ASSERT_TRUE(store) << error;
    EXPECT_FALSE(store->FileExists());
    CPropSet set;
    EXPECT_FALSE(store->Load({1, 1}, set));
    EXPECT_TRUE(store->Erase({1, 1}));
    EXPECT_TRUE(store->StoredKeys().empty());
    EXPECT_FALSE(Exists(m_dir.File("later")));

    ASSERT_TRUE(store->Save({{{1, 1}, NewSet({{1, Int(1)}})}})) << store->LastError();
    EXPECT_TRUE(store->FileExists());
    EXPECT_EQ(StoredKeys(file), (std::vector<tSetKey>{{1, 1}}));

    // An existing file is opened (and checked) at once.
    EXPECT_TRUE(CSqliteStore::Open(file, error, false)->FileExists());
    // A file that cannot be made fails its first save.
    WriteBytes(m_dir.File("plain"), "x");
    auto doomed = CSqliteStore::Open(m_dir.File("plain/config.db"), error, false);
    ASSERT_TRUE(doomed);
    EXPECT_FALSE(doomed->Save({{{1, 1}, NewSet()}}));
    EXPECT_NE(doomed->LastError().find("cannot create the directory"), std::string::npos) << doomed->LastError();
}

TEST_F(SqliteStore, TwoConnectionsOnOneFileSeeEachOthersWrites)
{
    auto a = OpenStore(m_file), b = OpenStore(m_file);
    for (int round = 0; round < 20; ++round) {
        auto& writer = round % 2 ? a : b;
        auto& reader = round % 2 ? b : a;
        ASSERT_TRUE(writer->Save({{{1, 1}, NewSet({{1, Int(round)}})}})) << writer->LastError();
        CPropSet seen;
        ASSERT_TRUE(reader->Load({1, 1}, seen)) << reader->LastError();
        EXPECT_EQ(IntOf(seen, 1), round);
    }
}

} // namespace
