#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <plinth/driver/Driver.h>

#include "CZaberLink.h"
#include "ZaberDefs.h"

namespace zaber {

// The driver of Zaber devices speaking the ASCII protocol on a serial port: X, Y and Z on one or
// more daisy-chained controllers or integrated stages. The second example of a Plinth driver (after
// the simulated stage): InitImpl opens the port, discovers the devices and adds the axes; the
// movement slots become device commands; everything else is left to the library.
//
// Ticks are microsteps; "Speed" is microsteps per second and becomes the device's maxspeed only
// when written after activation (activation changes no setting of a device, but "comm.alert",
// which it gives back at ExitImpl). Axes 1, 2 and 3 are X, Y and Z, whichever device axes the map
// gives them. "Calibration" comes from the product table by the device's identity (ZaberProducts.h)
// unless the user set one; "ZaberCalibrationSource" says which.
//
// A port that went away (a USB adapter unplugged) is opened again by the next call, which checks
// that the same devices answer before it goes on.
//
// Distrust: every number a device answers is range-checked; an axis without a position reference
// (WR or WH, after power-up) refuses moves, free runs and position reads; a move that ends short
// of its target answers c_DeviceFault.
//
// Ends of moves: a device that accepts "comm.alert 1" tells when an axis stops and the driver
// waits for that; for the others it polls the status. A stop (StopMoving) may come from any thread
// while another slot waits (declared concurrent): the waiting slot then answers stg::c_Stopped.
//
// Outcomes: a rejection or a fault flag becomes a library code (BADDATA: c_TargetOutOfRange or
// c_InvalidValue, or c_LimitsNotDefined when the axis has no position reference; BADCOMMAND:
// c_NotImplemented; BADAXIS: c_NoSuchAxis; STATUSBUSY, AGAIN: c_Busy; PARKED: c_GeneralFailure
// saying how to unpark; no reply: c_Timeout; others: c_GeneralFailure) or c_DeviceFault, with the
// words in "DriverMessage".
//
// Locks: every slot but StopMovingImpl runs under the stage lock. m_mutex guards what the stop
// shares with them (the axis map and the link while InitImpl replaces them, the stop count, the
// alert counts); InitImpl writes those under it, the other slots read them without it, as only
// InitImpl changes them and it holds the stage lock. m_expected and m_starting belong to the slots
// (stage lock). The link serialises the requests itself.
class CZaberStage : public stg::CLowLevelStage {
public:
    explicit CZaberStage(std::uint32_t stageID);
    ~CZaberStage() override; // gives "comm.alert" back, closes the port

protected:
    // Opens the port, finds the devices and reads their identity, resolution, travel and speed,
    // switches their alerts on where they can, adds the mapped axes (keeping their stored settings
    // but the calibration, which follows the product table unless the user set it) and receives
    // the stored settings. Fails with the reason in "DriverMessage" when there is no port, nobody
    // answers, two devices share an address, a device answers nonsense or the map names a missing
    // axis.
    int InitImpl() override;
    int ExitImpl() override; // gives "comm.alert" back, closes the port
    // The port is there and every device answers.
    bool CheckConnectionImpl() override;
    // "Speed" goes to the device as maxspeed (c_InvalidValue outside 1..resolution x 16384
    // native); a "Calibration" written after activation marks the axis's calibration as the user's.
    int SetPropertyVesselImpl(const int& axis, const int& propID, const mem::CBin& value) override;

    int MoveFreeImpl(const SpeedMap& speeds) override;  // move vel at the speed asked for
    int MoveToPosImpl(const TickMap& targets) override; // move abs, returns at once
    // Any listed axis BUSY; true also when the poll fails (the axis may be moving).
    bool IsMovingImpl(const Axes& axes) override;
    int WaitForStopImpl(const Axes& axes, std::uint32_t timeoutMs) override;
    // One stop to the whole chain, then waits for rest, at most c_stopSettleMs.
    int StopMovingImpl() override;
    int SetPositionImpl(const TickMap& targets) override; // move abs and wait
    int GetPositionImpl(TickMap& positions, const stg::ESelection& selection) override;
    int GotoUpperLimitImpl(const Axes& axes) override; // move max and wait
    int GotoLowerLimitImpl(const Axes& axes) override; // move min and wait
    // Homes the axes (Z first, alone, unless "ZaberHomeZFirst" is 0), then takes the devices'
    // limit.min and limit.max as the limits.
    int InitRangesImpl(const Axes& axes) override;

private:
    struct tTarget {
        int address = 0;
        int axis = 0;
        bool alerts = false;        // the device sends alerts
        std::string name;           // "X", for messages
        int resolution = 64;        // microsteps per full step
        bool knownFamily = false;   // its speed factor is known
        double microstepUm = 0.0;   // from the product table; 0: unknown
        std::string identity;       // "device 2 (ID 50202, X-VSR20A)", for messages
        std::int64_t travelMin = 0; // the device's limit.min and limit.max
        std::int64_t travelMax = 0;
    };
    using Targets = std::map<int, tTarget>;
    // A move's target, with the stop count when it started (a stop since then excuses a short end).
    struct tExpected {
        std::int64_t ticks = 0;
        unsigned stops = 0;
    };

    // Finds the devices on the link and the axes X, Y, Z among them; `notes` what the user must
    // know (axes without a known microstep length).
    int Discover(CZaberLink& link, Targets& targets, std::string& notes);
    // When the port went away since activation: opens it again and checks that the same chain is
    // on it (c_OK), or says why not. Every slot that talks to the devices calls it first.
    int Reconnect();
    // One command to the axis's device; a rejection becomes a code (`badData` for BADDATA).
    int Command(const tTarget& target, const std::string& words, tMessage& reply, int badData) const;
    // Refuses an axis whose device reports no position reference (WR, WH) among its warnings.
    int RequireHomed(const tTarget& target) const;
    // The verb with each value to its axis, after RequireHomed. A stop counted after
    // `stopsBefore` ends it with c_Stopped (StopIfStopped).
    int CommandAll(const TickMap& values, const std::string& verb, int badData, unsigned stopsBefore);
    int RefuseUnreferenced(const tTarget& target, const tMessage& reply) const;
    // The limit runs: `words` ("move max", "move min") to every axis, then the wait.
    int RunToEnd(const Axes& axes, const char* words, bool upper);
    // A stop counted after `stopsBefore` may have reached the devices before the moves just
    // started: those axes are stopped again and the answer is c_Stopped; otherwise c_OK.
    int StopIfStopped(const Axes& axes, unsigned stopsBefore) const;
    // Waits until the axes are at rest: c_OK, c_Timeout, c_Stopped (a stop counted after
    // `stopsBefore`), the fault of an axis, or c_DeviceFault for an axis that ended away from its
    // expected target. Forgets the expected targets of the axes.
    int WaitAxes(const Axes& axes, std::uint32_t timeoutMs, unsigned stopsBefore);
    int WaitAxesOnce(const Axes& axes, std::uint32_t timeoutMs, unsigned stopsBefore);
    // An axis at rest: its fault, a missing reference, or an end away from the expected target.
    int CheckRest(int axis, const tTarget& target, const tMessage& reply);
    int FaultOf(const tTarget& target, const tMessage& reply) const;
    // The position in a reply, range-checked against the axis's travel.
    int PositionOf(const tTarget& target, const tMessage& reply, std::int64_t& ticks) const;
    unsigned Stops() const;
    void OnAlert(const tMessage& alert);
    void RestoreAlerts();                       // "comm.alert" back to 0 on the devices the driver switched
    void Say(const std::string& message) const; // into "DriverMessage"
    int Fail(int code, const std::string& message) const
    {
        Say(message);
        return code;
    }
    const tTarget* Find(int axis) const;

    std::shared_ptr<CZaberLink> m_link;  // replaced only by InitImpl
    Targets m_targets;                   // driver axis -> device axis; replaced only by InitImpl
    std::vector<int> m_alertsSwitched;   // devices whose comm.alert the driver set to 1
    std::map<int, tExpected> m_expected; // driver axis -> the target of its move under way
    bool m_starting = false;             // InitImpl hands the stored settings back
    mutable std::mutex m_mutex;          // see the class comment
    std::condition_variable m_changed;   // an alert or a stop
    unsigned m_stops = 0;
    std::map<std::pair<int, int>, unsigned> m_alerts; // (address, axis) -> alerts seen
};

} // namespace zaber
