#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "CPseudoTerminal.h"

namespace emukit {

// A device that answers command lines on a pseudo-terminal, with the faults every protocol
// shares: silence, late replies, garbled replies, the port vanishing (and coming back). A
// protocol derives from it and implements Handle (and, for faults of its own, ControlProtocol).
//
// One serving thread reads the terminal, cuts the bytes into command lines at any of
// `commandEnds` (dropping `ignored` characters anywhere), hands each to Handle and writes what it
// answers. Between two rounds it asks the protocol for lines a device sends of its own accord
// (Unprompted: alerts when an axis stops), which silence holds back like replies.
//
// Garbling turns a whole reply line into printable noise of the same length that no protocol
// parses, followed by its line end, and writes the noise in two pieces; a reply that is wrong
// yet parseable is beyond what a host can detect, so it is not emulated.
//
// Locks: m_mutex guards the terminal, the faults and everything of the protocol: Handle and
// ControlProtocol (and Unprompted) are called with it held, and a protocol's own public members
// take it through Mutex(). The serving thread lets it go only to poll and to sleep out a late
// reply.
class CLineEmulator {
public:
    virtual ~CLineEmulator(); // derived classes call Stop in their destructor
    CLineEmulator(const CLineEmulator&) = delete;
    CLineEmulator& operator=(const CLineEmulator&) = delete;

    // Opens the terminal (and the link) and starts serving. False, with Error() saying why.
    bool Start();
    void Stop(); // also removes the link made
    std::string Path() const;
    std::string Error() const;

    void Silence(bool on);                  // no replies at all while on
    void DelayNextReply(int ms);            // the next reply comes `ms` real milliseconds late
    void SetReplyDelay(int ms);             // every reply comes `ms` real milliseconds late
    void GarbleNextReply();                 // the next reply line is noise
    void SplitNextReply();                  // the next reply comes in two pieces, intact
    void SetGarbleRate(double probability); // each reply line is noise with this probability
    void Vanish();                          // the port closes, as an unplugged USB adapter
    bool Reappear();                        // a new terminal; the link follows it
    bool Vanished() const;
    // Command lines handled so far, and a wait until `count` were (at most `timeoutMs`).
    int CommandsReceived() const;
    bool WaitForCommands(int count, int timeoutMs) const;
    // One fault in words: the protocol's first (so that it may give a shared word a meaning of its
    // own), else "silent on|off", "delay MS", "delay-all MS", "garble", "garble-rate P", "split",
    // "vanish", "return"; false when not understood.
    bool Control(const std::string& line);

protected:
    // Each character of `commandEnds` ends a command line (so "\r\n" makes a CR LF pair a line
    // and an empty one); `ignored` is dropped wherever it comes ('\0': none).
    CLineEmulator(std::string linkPath, std::string commandEnds, char ignored, std::uint32_t seed);

    // Answers one command line: the bytes to write, line ends included ("" for no reply).
    // Called on the serving thread with m_mutex held.
    virtual std::string Handle(const std::string& line) = 0;
    // A protocol's own faults in words (already split); false when not understood. m_mutex held.
    virtual bool ControlProtocol(const std::vector<std::string>& words) = 0;
    // The lines (line ends included) to send now without a command; lowers `waitMs` (the longest
    // the serving thread waits for a command before asking again) when more are due sooner.
    // Called with m_mutex held at every round of the serving thread.
    virtual std::string Unprompted(int& waitMs)
    {
        (void)waitMs;
        return "";
    }
    // The reply being answered comes in two pieces. m_mutex held.
    void SplitReply() { m_splitNext = true; }
    // For a protocol's faults that strike later: the port closes once the current reply is out.
    // m_mutex held.
    void VanishAfterReply() { m_vanishDue = true; }

    std::mutex& Mutex() const { return m_mutex; }

private:
    void Serve();
    void Wake();
    std::string Garble(const std::string& reply); // expects m_mutex held

    std::string m_linkPath;
    const std::string m_commandEnds;
    const char m_ignored;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_handled;
    CPseudoTerminal m_terminal;
    std::thread m_thread;
    bool m_running = false;
    int m_wake = -1; // eventfd: a fault or Stop wakes the serving thread
    std::string m_buffer;
    std::string m_error;
    bool m_silent = false;
    int m_delayMs = 0;    // the next reply's
    int m_delayAllMs = 0; // every reply's
    bool m_garbleNext = false;
    bool m_splitNext = false;
    double m_garbleRate = 0.0;
    bool m_vanishDue = false;
    int m_commands = 0;
    std::mt19937 m_random;
};

} // namespace emukit
