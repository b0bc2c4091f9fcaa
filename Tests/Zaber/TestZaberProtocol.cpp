// The Zaber ASCII grammar on its own. (The link, through noise, silence and late replies, is
// tested through the driver against the emulator: TestZaberDriver.cpp.)

#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "ZaberAscii.h"

namespace {

using zaber::EParse;
using zaber::tMessage;

TEST(ZaberAscii, ChecksumsAndGrammar)
{
    // The worked values of the protocol's fact sheet.
    EXPECT_EQ(zaber::Checksum("01 tools echo"), 0x8F);
    EXPECT_EQ(zaber::Checksum("1 1 move abs 10000"), 0x40);
    EXPECT_EQ(zaber::Checksum("01 1 OK BUSY -- 0"), 0x67);
    EXPECT_EQ(zaber::Checksum("01 0 OK IDLE -- 0"), 0x8D);
    EXPECT_EQ(zaber::FormatCommand(1, 1, zaber::c_noID, "move abs 10000"), "/1 1 move abs 10000:40\n");
    EXPECT_EQ(zaber::FormatCommand(1, 0, 12, "get pos").substr(0, 15), "/1 0 12 get pos");

    // Lines that parse, and what they say.
    const struct {
        const char* line;
        char kind;
        int address, axis, id;
        bool accepted, busy;
        const char* flag;
        std::vector<std::string> data;
    } parsed[] = {
        {"@01 1 OK BUSY -- 0:67\r", '@', 1, 1, zaber::c_noID, true, true, "--", {"0"}},
        {"@02 1 12 RJ IDLE WR  BADDATA", '@', 2, 1, 12, false, false, "WR", {"BADDATA"}},
        {"@01 0 OK IDLE -- 81920 153600", '@', 1, 0, zaber::c_noID, true, false, "--", {"81920", "153600"}},
        {"!02 1 IDLE FS extra 7", '!', 2, 1, zaber::c_noID, false, false, "FS", {}}, // trailing tokens tolerated
    };
    tMessage m;
    for (const auto& p : parsed) {
        ASSERT_EQ(zaber::ParseDeviceLine(p.line, m), EParse::eOK) << p.line;
        EXPECT_EQ(std::make_tuple(m.kind, m.address, m.axis, m.busy, m.flag),
                  std::make_tuple(p.kind, p.address, p.axis, p.busy, std::string(p.flag)))
            << p.line;
        if (p.kind == '@') { // what only replies carry
            EXPECT_EQ(std::make_tuple(m.id, m.accepted, m.data), std::make_tuple(p.id, p.accepted, p.data)) << p.line;
        }
    }
    EXPECT_EQ(zaber::ParseDeviceLine("@01 1 OK BUSY -- 0:68", m), EParse::eBadChecksum);
    EXPECT_EQ(zaber::ParseDeviceLine("@01 0 ok IDLE -- 0:8d", m), EParse::eBadChecksum); // hex in either case
    EXPECT_EQ(zaber::ParseDeviceLine("@01 0 OK IDLE -- 0:8d", m), EParse::eOK);
    ASSERT_EQ(zaber::ParseDeviceLine("#01 0 help text", m), EParse::eOK);
    EXPECT_EQ(m.kind, '#');

    for (const char* garbage : {"", "hello", "@01", "@01 1 OK", "@xx 1 OK IDLE -- 0", "@01 1 OK WAIT -- 0",
                                "@01 1 MAYBE IDLE -- 0", "@01 1 OK IDLE -- ", "@01 1 OK IDLE -- 0:zz"})
        EXPECT_EQ(zaber::ParseDeviceLine(garbage, m), EParse::eGarbage) << garbage;
}

} // namespace
