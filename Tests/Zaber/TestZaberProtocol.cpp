// The Zaber ASCII protocol layer: the grammar on its own, and the link through a real
// pseudo-terminal against a device played by the test.

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "CZaberLink.h"
#include "ZaberAscii.h"

namespace {

using zaber::ELink;
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
    ASSERT_EQ(zaber::ParseDeviceLine("#01 0 help text", m), EParse::eOK);
    EXPECT_EQ(m.kind, '#');

    for (const char* garbage : {"", "hello", "@01", "@01 1 OK", "@xx 1 OK IDLE -- 0", "@01 1 OK WAIT -- 0",
                                "@01 1 MAYBE IDLE -- 0", "@01 1 OK IDLE -- ", "@01 1 OK IDLE -- 0:zz"})
        EXPECT_EQ(zaber::ParseDeviceLine(garbage, m), EParse::eGarbage) << garbage;
}

// The device end of a pseudo-terminal, played by a thread that answers each command line with
// whatever the test's script says (several lines, split writes, nothing).
class CScriptedDevice {
public:
    // Answers the command (without terminator): the chunks to write, in order.
    using Script = std::function<std::vector<std::string>(const std::string& command)>;

    CScriptedDevice()
    {
        m_master = posix_openpt(O_RDWR | O_NOCTTY);
        if (m_master >= 0 && grantpt(m_master) == 0 && unlockpt(m_master) == 0)
            m_path = ptsname(m_master);
    }
    ~CScriptedDevice()
    {
        Stop();
        Vanish();
    }
    const std::string& Path() const { return m_path; }

    void Run(Script script)
    {
        m_thread = std::thread([this, script] {
            std::string buffer;
            while (!m_stop) {
                pollfd in{m_master, POLLIN, 0};
                if (poll(&in, 1, 50) <= 0 || (in.revents & POLLIN) == 0)
                    continue;
                char chunk[256];
                const ssize_t n = read(m_master, chunk, sizeof(chunk));
                if (n <= 0)
                    return;
                buffer.append(chunk, static_cast<std::size_t>(n));
                for (std::size_t end; (end = buffer.find('\n')) != std::string::npos;) {
                    const std::string command = buffer.substr(0, end);
                    buffer.erase(0, end + 1);
                    for (const std::string& piece : script(command))
                        if (write(m_master, piece.data(), piece.size()) < 0)
                            return;
                }
            }
        });
    }
    void Stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    void Vanish()
    {
        if (m_master >= 0)
            close(m_master);
        m_master = -1;
    }

private:
    int m_master = -1;
    std::string m_path;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
};

// The message ID of a command "/1 0 12 words...:CC".
std::string IdOf(const std::string& command) { return zaber::SplitWords(command.substr(1))[2]; }

std::string Line(const std::string& body)
{
    char tail[8];
    std::snprintf(tail, sizeof(tail), ":%02X\r\n", zaber::Checksum(body.substr(1)));
    return body + tail;
}

TEST(ZaberLink, MatchesRepliesThroughNoiseAndBoundsEveryWait)
{
    CScriptedDevice device;
    ASSERT_FALSE(device.Path().empty());
    std::atomic<int> alerts{0};
    std::atomic<int> calls{0};
    std::string lateID;
    device.Run([&](const std::string& command) -> std::vector<std::string> {
        const std::string id = IdOf(command);
        switch (calls++) {
        case 0: // noise, an alert, a reply to another ID, then the reply split in two writes
            return {"garbage\r\n", "!01 1 IDLE --\r\n",
                    "@01 1 " + std::to_string(std::stoi(id) % 99 + 1) + " OK IDLE -- 7\r\n",
                    Line("@01 1 " + id + " OK IDLE -- 4310").substr(0, 9),
                    Line("@01 1 " + id + " OK IDLE -- 4310").substr(9)};
        case 1: // a bad checksum: dropped, so the request times out
            return {"@01 1 " + id + " OK IDLE -- 1:00\r\n"};
        case 2: // silence
            lateID = id;
            return {};
        default: // the late reply to the silent command first, then this one's
            return {"@01 1 " + lateID + " OK IDLE -- 666\r\n", "@01 1 " + id + " RJ IDLE WR BADDATA\r\n"};
        }
    });

    zaber::CZaberLink link;
    link.SetAlertHandler([&](const tMessage& alert) {
        if (alert.address == 1 && alert.axis == 1)
            ++alerts;
    });
    link.SetReplyTimeout(200);
    ASSERT_EQ(link.Open(device.Path(), 115200), ELink::eOK) << link.LastError();

    // Exclusive: a second open of the same port is refused with a clear reason.
    zaber::CZaberLink second;
    EXPECT_EQ(second.Open(device.Path(), 115200), ELink::eInUse);
    EXPECT_NE(second.LastError().find("in use"), std::string::npos) << second.LastError();

    tMessage reply;
    ASSERT_EQ(link.Request(1, 1, "get pos", reply), ELink::eOK) << link.LastError();
    EXPECT_EQ(reply.data, std::vector<std::string>{"4310"});
    EXPECT_EQ(alerts, 1);
    EXPECT_GE(link.DroppedLines(), 2); // the garbage and the reply with the other ID

    EXPECT_EQ(link.Request(1, 1, "get pos", reply), ELink::eTimeout); // bad checksum
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(link.Request(1, 1, "get pos", reply), ELink::eTimeout);              // silence
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5)); // bounded, not timed

    ASSERT_EQ(link.Request(1, 1, "move abs 5", reply), ELink::eOK); // the late reply is not taken
    EXPECT_FALSE(reply.accepted);
    EXPECT_EQ(reply.data, std::vector<std::string>{"BADDATA"});

    device.Stop();
    EXPECT_TRUE(link.IsUp());
    device.Vanish();
    EXPECT_EQ(link.Request(1, 1, "get pos", reply), ELink::eVanished);
    EXPECT_FALSE(link.IsUp());
}

TEST(ZaberLink, SerialisesCallersFromSeveralThreads)
{
    CScriptedDevice device;
    device.Run([](const std::string& command) -> std::vector<std::string> {
        const auto words = zaber::SplitWords(command.substr(1, command.find(':') - 1));
        // Echo the axis number as data so that each caller can check it got its own reply.
        return {Line("@01 " + words[1] + " " + words[2] + " OK IDLE -- " + words[1])};
    });
    zaber::CZaberLink link;
    ASSERT_EQ(link.Open(device.Path(), 9600), ELink::eOK) << link.LastError();
    std::atomic<int> wrong{0};
    std::vector<std::thread> callers;
    for (int axis = 1; axis <= 4; ++axis)
        callers.emplace_back([&, axis] {
            for (int i = 0; i < 25; ++i) {
                tMessage reply;
                if (link.Request(1, axis, "get pos", reply) != ELink::eOK || reply.data[0] != std::to_string(axis))
                    ++wrong;
            }
        });
    for (auto& caller : callers)
        caller.join();
    EXPECT_EQ(wrong, 0);
}

} // namespace
