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
// One serving thread reads the terminal, cuts the bytes into command lines at `commandEnd`
// (dropping `ignored` characters anywhere), hands each to Handle and writes what it answers.
//
// Garbling turns a whole reply line into printable noise of the same length that no protocol
// parses, followed by its line end, and writes the noise in two pieces; a reply that is wrong
// yet parseable is beyond what a host can detect, so it is not emulated.
//
// Locks: m_mutex guards the terminal, the faults and everything of the protocol: Handle and
// ControlProtocol are called with it held, and a protocol's own public members take it through
// Locked(). The serving thread lets it go only to poll and to sleep out a late reply.
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
    void SetGarbleRate(double probability); // each reply line is noise with this probability
    void Vanish();                          // the port closes, as an unplugged USB adapter
    bool Reappear();                        // a new terminal; the link follows it
    bool Vanished() const;
    // Command lines handled so far, and a wait until `count` were (at most `timeoutMs`).
    int CommandsReceived() const;
    bool WaitForCommands(int count, int timeoutMs) const;
    // One fault in words: "silent on|off", "delay MS", "delay-all MS", "garble", "garble-rate P", "vanish",
    // "return", or one of the protocol's; false when not understood.
    bool Control(const std::string& line);

protected:
    // `commandEnd` ends a command line; `ignored` is dropped wherever it comes ('\0': none).
    CLineEmulator(std::string linkPath, char commandEnd, char ignored, std::uint32_t seed);

    // Answers one command line: the bytes to write, line ends included ("" for no reply).
    // Called on the serving thread with m_mutex held.
    virtual std::string Handle(const std::string& line) = 0;
    // A protocol's own faults in words (already split); false when not understood. m_mutex held.
    virtual bool ControlProtocol(const std::vector<std::string>& words) = 0;
    // For a protocol's faults that strike later: the port closes once the current reply is out.
    // m_mutex held.
    void VanishAfterReply() { m_vanishDue = true; }

    std::mutex& Mutex() const { return m_mutex; }

private:
    void Serve();
    void Wake();
    std::string Garble(const std::string& reply); // expects m_mutex held

    std::string m_linkPath;
    const char m_commandEnd;
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
    double m_garbleRate = 0.0;
    bool m_vanishDue = false;
    int m_commands = 0;
    std::mt19937 m_random;
};

} // namespace emukit
