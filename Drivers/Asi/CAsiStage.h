#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <platform/CSerialLink.h>
#include <plinth/driver/Driver.h>

#include "AsiReply.h"

namespace asi {

// The driver of ASI MS-2000 and Tiger controllers on a serial port: X, Y and Z, each present when
// the controller answers WHERE for its letter. Commands end in CR; replies end in CR LF (a
// multi-line reply separates its lines by CR and arrives as one line here).
//
// Ticks are the controller's units (UM per mm, read at activation), speeds ticks per second (the
// controller's SPEED and VECTOR are mm/s), "AsiAccelMs" is the axis's ACCEL. The controller's
// firmware limits (SETLOW/SETUP, mm) are read at activation; the library's limits of an axis are
// kept inside them (a value beyond is brought back to the firmware limit).
//
// Moves start with MOVE and return at once; their ends are polled with STATUS ("/", every axis)
// and, when only some axes are asked about, RDSTAT ("RS X?"). After every move the position is
// compared with the target (within c_targetToleranceUm); an axis short of it is a c_DeviceFault,
// with the motor state in the message. Free runs are VECTOR at the signed "Speed"; the range
// search runs each axis to its lower firmware limit (or the switch before it), then to the upper
// one, and back to where it started, and takes the two ends reached as the limits.
//
// Errors: every ":N-n" becomes a result code with its meaning in "DriverMessage" (see Command).
// A reply that parses as nothing (a garbled line) makes the driver re-synchronise: purge the
// input, ask STATUS until a status comes, and send the command again once (every command the
// driver sends is absolute, so sending it twice does no harm). After a time-out the
// re-synchronisation comes before the next command, so that the time-out itself returns within
// the reply time-out.
//
// Stops (StopMovingImpl) may come from any thread while another slot waits (declared
// concurrent): HALT, whose ":N-21" (it interrupted a move) is success, then STATUS until rest;
// the waiting slot answers c_Stopped.
//
// Locks: every slot but StopMovingImpl runs under the stage lock. m_mutex guards what the stop
// shares with them (the link and the axes while InitImpl replaces them, the stop count); InitImpl
// writes those under it, the other slots read them without it, as only InitImpl changes them and
// it holds the stage lock. The link serialises the requests itself.
class CAsiStage : public stg::CLowLevelStage {
public:
    explicit CAsiStage(std::uint32_t stageID);
    ~CAsiStage() override;

protected:
    // Opens the port, finds the axes, reads their units, firmware limits, speeds and
    // accelerations, adds them and receives the stored settings.
    int InitImpl() override;
    int ExitImpl() override;
    bool CheckConnectionImpl() override; // one STATUS
    // "Speed" goes to the controller as SPEED, "AsiAccelMs" as ACCEL; "Minimum" and "Maximum"
    // are kept inside the firmware limits.
    int SetPropertyVesselImpl(const int& axis, const int& propID, const mem::CBin& value) override;

    int MoveFreeImpl(const SpeedMap& speeds) override;  // VECTOR
    int MoveToPosImpl(const TickMap& targets) override; // MOVE, returns at once
    bool IsMovingImpl(const Axes& axes) override;
    int WaitForStopImpl(const Axes& axes, std::uint32_t timeoutMs) override;
    int StopMovingImpl() override;                        // HALT, then waits for rest
    int SetPositionImpl(const TickMap& targets) override; // MOVE and wait
    int GetPositionImpl(TickMap& positions, const stg::ESelection& selection) override;
    int GotoUpperLimitImpl(const Axes& axes) override;
    int GotoLowerLimitImpl(const Axes& axes) override;
    int InitRangesImpl(const Axes& axes) override;

private:
    struct tAxis {
        char letter = 'X';
        double unitsPerMm = 10'000.0; // UM: ticks per millimetre (negative: the axis reversed)
        std::int64_t lowTicks = 0;    // the firmware limits, ticks
        std::int64_t highTicks = 0;
    };
    using AxisTable = std::map<int, tAxis>;

    // Sends one command and parses its reply, re-synchronising as the class comment says.
    // A ":N-n" becomes a code (`outOfRange` for :N-4, c_Stopped for :N-21) with the words in
    // "DriverMessage". Any thread.
    int Command(const std::string& command, tReply& reply, int outOfRange = stg::c_InvalidValue) const;
    // Purges the input, then asks STATUS until a status comes: at most c_resyncTries times, and
    // no more after `silences` time-outs.
    int Resync(int silences) const;
    int Query(const std::string& command, std::map<char, double>& values) const; // "S X?" -> {X: 2.5}
    int Position(const tAxis& axis, std::int64_t& ticks) const;
    // Moves to the targets (one MOVE) and remembers them for the comparison after the move.
    int StartMoves(const TickMap& targets);
    // Waits for rest (c_OK, c_Timeout, c_Stopped after a stop counted after `stopsBefore`), then
    // compares the positions with the targets remembered for these axes.
    int WaitAxes(const Axes& axes, std::uint32_t timeoutMs, unsigned stopsBefore);
    int CheckTargets(const Axes& axes);
    bool Busy(const Axes& axes, int& rc) const;
    int RunTo(const Axes& axes, bool upper, unsigned stopsBefore); // to the firmware limits
    unsigned Stops() const;
    void Say(const std::string& message) const; // into "DriverMessage"
    int Fail(int code, const std::string& message) const
    {
        Say(message);
        return code;
    }
    const tAxis* Find(int axis) const;
    std::int64_t ToleranceTicks(const tAxis& axis) const;

    std::shared_ptr<plat::CSerialLink> m_link; // replaced only by InitImpl
    AxisTable m_axes;                          // replaced only by InitImpl
    std::string m_card;                        // Tiger card address, "" for an MS-2000
    std::map<int, std::int64_t> m_targets;     // the last target of each axis not yet compared
    mutable std::atomic<bool> m_resync{false}; // a time-out left the input in doubt
    mutable std::mutex m_mutex;                // see the class comment
    std::condition_variable m_changed;         // a stop
    unsigned m_stops = 0;
};

} // namespace asi
