// The serial port's framing (line ends, purge, the bound on line length) and the request/reply
// link, through a real pseudo-terminal whose other end the test writes and reads; the emulator
// kit's line device through the serial port.

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <platform/CSerialLink.h>
#include <platform/CSerialPort.h>

#include "CLineEmulator.h"

namespace {

using plat::ELineEnd;
using plat::ESerialStatus;

constexpr int c_boundMs = 5000;

// The device end of a pseudo-terminal.
class CDeviceEnd {
public:
    CDeviceEnd()
    {
        m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128] = {};
        if (m_master >= 0 && grantpt(m_master) == 0 && unlockpt(m_master) == 0 &&
            ptsname_r(m_master, name, sizeof(name)) == 0)
            m_path = name;
    }
    ~CDeviceEnd()
    {
        if (m_master >= 0)
            close(m_master);
    }
    const std::string& Path() const { return m_path; }
    void Send(const std::string& bytes) const
    {
        ASSERT_EQ(write(m_master, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
    // What the host wrote, once `count` bytes came (at most c_boundMs).
    std::string Received(std::size_t count) const
    {
        std::string bytes;
        while (bytes.size() < count) {
            pollfd in{m_master, POLLIN, 0};
            if (poll(&in, 1, c_boundMs) <= 0)
                break;
            char chunk[256];
            const ssize_t n = read(m_master, chunk, sizeof(chunk));
            if (n <= 0)
                break;
            bytes.append(chunk, static_cast<std::size_t>(n));
        }
        return bytes;
    }

private:
    int m_master = -1;
    std::string m_path;
};

TEST(SerialPort, LineEndsPurgeAndLongLines)
{
    const struct {
        ELineEnd end;
        const char* sent;
        std::vector<std::string> lines;
    } rows[] = {
        // LF: CR dropped anywhere, so CR LF ends a line too.
        {ELineEnd::eLF, "@01 OK\r\nnext\n", {"@01 OK", "next"}},
        {ELineEnd::eLF, "a\rb\n", {"ab"}},
        // CR: replies ending in CR LF, multi-line replies separated by CR alone; LF dropped.
        {ELineEnd::eCR, ":A 1234.5 0\r\n", {":A 1234.5 0"}},
        {ELineEnd::eCR, "STD_XYZ\rMotor Axes: X Y Z\r\nN\r\n", {"STD_XYZ", "Motor Axes: X Y Z", "N"}},
        // CR LF only: a lone CR or LF stays in the line.
        {ELineEnd::eCRLF, "a\rb\nc\r\nd\r\n", {"a\rb\nc", "d"}},
    };
    for (const auto& row : rows) {
        CDeviceEnd device;
        plat::CSerialPort port;
        port.SetReplyLineEnd(row.end);
        ASSERT_EQ(port.Open(device.Path(), 9600), ESerialStatus::eOK) << port.LastError();
        // Stale bytes already read, a partial line among them, are gone after a purge.
        device.Send("first\r\nstale\r\npart");
        std::string first;
        ASSERT_EQ(port.ReadLine(first, c_boundMs), ESerialStatus::eOK);
        EXPECT_EQ(first, "first");
        EXPECT_EQ(port.Purge(), ESerialStatus::eOK);
        device.Send(row.sent);
        std::vector<std::string> lines;
        for (std::string line; lines.size() < row.lines.size() && port.ReadLine(line, c_boundMs) == ESerialStatus::eOK;)
            lines.push_back(line);
        EXPECT_EQ(lines, row.lines) << row.sent;
        std::string none;
        EXPECT_EQ(port.ReadLine(none, 0), ESerialStatus::eTimeout) << row.sent;
    }

    // Commands end as the protocol wants; a line past the bound is refused up to its end and the
    // next one is read.
    CDeviceEnd device;
    plat::CSerialPort port;
    port.SetCommandLineEnd(ELineEnd::eCR);
    port.SetMaxLineLength(16);
    ASSERT_EQ(port.Open(device.Path(), 115200), ESerialStatus::eOK) << port.LastError();
    ASSERT_EQ(port.WriteLine("M X=10000"), ESerialStatus::eOK);
    EXPECT_EQ(device.Received(10), "M X=10000\r");
    device.Send("raw\r");
    std::string bytes;
    ASSERT_EQ(port.ReadAvailable(bytes, c_boundMs), ESerialStatus::eOK);
    EXPECT_EQ(bytes, "raw\r");
    device.Send(std::string(40, 'z'));
    std::string line;
    EXPECT_EQ(port.ReadLine(line, 50), ESerialStatus::eTimeout);
    EXPECT_EQ(port.RefusedLines(), 1); // refused before its end came
    device.Send(std::string(40, 'z') + "\n" + std::string(17, 'y') + "\nexactly-16-bytes\n");
    ASSERT_EQ(port.ReadLine(line, c_boundMs), ESerialStatus::eOK);
    EXPECT_EQ(line, "exactly-16-bytes");
    EXPECT_EQ(port.RefusedLines(), 2);
    EXPECT_NE(port.LastError().find("longer than 16 bytes"), std::string::npos) << port.LastError();
    EXPECT_FALSE(plat::IsBaudRate(28800));
    EXPECT_EQ(port.Open(device.Path(), 28800), ESerialStatus::eFailed);
}

TEST(SerialLink, MultiLineRepliesNoiseAndSilence)
{
    CDeviceEnd device;
    plat::CSerialLink link;
    link.SetFraming(ELineEnd::eCR, ELineEnd::eCR);
    link.SetReplyTimeout(300);
    ASSERT_EQ(link.Open(device.Path(), 9600), ESerialStatus::eOK) << link.LastError();

    // Noise before the reply is not taken for it; a multi-line reply ends with its last line.
    const plat::CSerialLink::Matcher build = [](const std::string& line) {
        return line.rfind("Motor Axes:", 0) == 0 ? plat::ETake::eReply
               : line.empty() || line[0] == '~'  ? plat::ETake::eNotMine
                                                 : plat::ETake::eMore;
    };
    std::thread answer([&] {
        if (device.Received(5) == "BU X\r")
            device.Send("~~ noise\r\nSTD_XYZ\rMotor Axes: X Y Z\r\n");
    });
    std::vector<std::string> lines;
    EXPECT_EQ(link.Request("BU X", build, lines), ESerialStatus::eOK) << link.LastError();
    answer.join();
    EXPECT_EQ(lines, (std::vector<std::string>{"STD_XYZ", "Motor Axes: X Y Z"}));
    EXPECT_EQ(link.DroppedLines(), 1);

    // Silence: a time-out naming the command; the reply that comes late is purged, not taken
    // for the next request.
    std::string reply;
    EXPECT_EQ(link.Request("V", reply), ESerialStatus::eTimeout);
    EXPECT_NE(link.LastError().find("\"V\""), std::string::npos) << link.LastError();
    EXPECT_EQ(device.Received(2), "V\r");
    device.Send(":A Version: USB-9.50 \r\n");
    EXPECT_EQ(link.Purge(100), ESerialStatus::eOK);
    std::thread again([&] {
        if (device.Received(2) == "V\r")
            device.Send(":A Version: USB-9.51\r\n");
    });
    EXPECT_EQ(link.Request("V", reply), ESerialStatus::eOK) << link.LastError();
    again.join();
    EXPECT_EQ(reply, ":A Version: USB-9.51");
}

// A broadcast that several devices answer: replies that come while the command is still being
// written (the device's input is full) are all collected, none dropped as unsolicited.
TEST(SerialLink, RepliesDuringTheCommandAllBelongToIt)
{
    CDeviceEnd device;
    plat::CSerialLink link;
    std::mutex mutex;
    std::condition_variable heard;
    std::vector<std::string> unsolicited;
    link.SetUnsolicitedHandler([&](const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex);
        unsolicited.push_back(line);
        heard.notify_all();
    });
    ASSERT_EQ(link.Open(device.Path(), 9600), ESerialStatus::eOK) << link.LastError();

    // Longer than the pseudo-terminal buffers, so the write waits until the device reads.
    const std::string command(std::size_t{1} << 20, 'x');
    std::thread answer([&] {
        const std::size_t started = device.Received(1).size(); // the request is in flight
        device.Send("@01 0 OK\n@02 0 OK\ntail\n");
        {
            std::unique_lock<std::mutex> lock(mutex);
            heard.wait_for(lock, std::chrono::milliseconds(c_boundMs),
                           [&] { return !unsolicited.empty() && unsolicited.back() == "tail"; });
        }
        device.Received(command.size() + 1 - started);
    });
    const plat::CSerialLink::Matcher anyDevice = [](const std::string& line) {
        return line[0] == '@' ? plat::ETake::eReply : plat::ETake::eNotMine;
    };
    std::vector<std::string> lines;
    EXPECT_EQ(link.Request(command, anyDevice, lines, 50), ESerialStatus::eOK) << link.LastError();
    answer.join();
    EXPECT_EQ(lines, (std::vector<std::string>{"@01 0 OK", "@02 0 OK"}));
    EXPECT_EQ(unsolicited, std::vector<std::string>{"tail"});
}

// A device of the emulator kit that echoes each command and sends "!tick" unprompted when told.
class CEchoDevice final : public emukit::CLineEmulator {
public:
    CEchoDevice() : CLineEmulator("", "\r\n", '\0', 1) {}
    ~CEchoDevice() override { Stop(); }

protected:
    std::string Handle(const std::string& line) override { return line.empty() ? "" : "=" + line + "\r\n"; }
    bool ControlProtocol(const std::vector<std::string>& words) override
    {
        m_ticks += words == std::vector<std::string>{"tick"} ? 1 : 0;
        return words[0] == "tick";
    }
    std::string Unprompted(int& /*waitMs*/) override { return std::exchange(m_ticks, 0) > 0 ? "!\r\n" : ""; }

private:
    int m_ticks = 0;
};

TEST(LineEmulator, UnpromptedLinesSplitRepliesAndEitherLineEnd)
{
    const struct {
        const char* fault;
        const char* command; // nullptr: none
        std::vector<std::string> lines;
    } rows[] = {
        {"tick", nullptr, {"!"}},        // a line without a command
        {"split", "ping", {"=ping"}},    // a reply in two pieces arrives intact
        {nullptr, "a\rb", {"=a", "=b"}}, // a CR ends a command as the LF does
    };
    CEchoDevice device;
    ASSERT_TRUE(device.Start()) << device.Error();
    plat::CSerialPort port;
    ASSERT_EQ(port.Open(device.Path(), 9600), ESerialStatus::eOK) << port.LastError();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.command ? row.command : row.fault);
        if (row.fault) {
            EXPECT_TRUE(device.Control(row.fault));
        }
        if (row.command) {
            ASSERT_EQ(port.WriteLine(row.command), ESerialStatus::eOK);
        }
        for (const std::string& expected : row.lines) {
            std::string line;
            EXPECT_EQ(port.ReadLine(line, c_boundMs), ESerialStatus::eOK);
            EXPECT_EQ(line, expected);
        }
    }
}

} // namespace
