#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include <plinth/Driver.h>

#include "CZaberLink.h"
#include "ZaberDefs.h"

namespace zaber {

// The driver of Zaber devices speaking the ASCII protocol on a serial port: X, Y and Z on one or
// more daisy-chained controllers or integrated stages. The second example of a Plinth driver (after
// the simulated stage): InitImpl opens the port, discovers the devices and adds the axes; the
// movement slots become device commands; everything else is left to the library.
//
// Ticks are microsteps; "Speed" is microsteps per second and becomes the device's maxspeed when
// written. Axes 1, 2 and 3 are X, Y and Z, whichever device axes the map gives them.
//
// Ends of moves: a device that accepts "comm.alert 1" tells when an axis stops and the driver
// waits for that; for the others it polls the status. A stop (StopMoving) may come from any thread
// while another slot waits (declared concurrent): the waiting slot then answers stg::c_Stopped.
//
// Outcomes: a rejection or a fault flag becomes a library code (BADDATA: c_TargetOutOfRange or
// c_InvalidValue, or c_LimitsNotDefined when the axis has no position reference; BADCOMMAND:
// c_NotImplemented; BADAXIS: c_NoSuchAxis; PARKED, STATUSBUSY, AGAIN: c_Busy; no reply: c_Timeout;
// others: c_GeneralFailure) or c_DeviceFault, with the words in "DriverMessage".
//
// Locks: every slot but StopMovingImpl runs under the stage lock. m_mutex guards what the stop
// shares with them (the axis map and the link while InitImpl replaces them, the stop count, the
// alert counts); InitImpl writes those under it, the other slots read them without it, as only
// InitImpl changes them and it holds the stage lock. The link serialises the requests itself.
class CZaberStage : public stg::CLowLevelStage {
public:
    explicit CZaberStage(std::uint32_t stageID);
    ~CZaberStage() override;

protected:
    // Opens the port, finds the devices, switches their alerts on where they can, adds the mapped
    // axes (keeping their stored settings) and receives the stored settings. Fails with the reason
    // in "DriverMessage" when there is no port, nobody answers or the map names a missing axis.
    int InitImpl() override;
    int ExitImpl() override; // closes the port
    // The port is there and every device answers.
    bool CheckConnectionImpl() override;
    // "Speed" goes to the device as maxspeed (c_InvalidValue when not finite or not positive).
    int SetPropertyVesselImpl(const int& axis, const int& propID, const mem::CBin& value) override;

    int MoveFreeImpl(const SpeedMap& speeds) override;  // move vel at the sign of the entry times "Speed"
    int MoveToPosImpl(const TickMap& targets) override; // move abs, returns at once
    bool IsMovingImpl(const Axes& axes) override;       // any listed axis BUSY
    int WaitForStopImpl(const Axes& axes, std::uint32_t timeoutMs) override;
    int StopMovingImpl() override;                        // stop on every device, then waits for rest
    int SetPositionImpl(const TickMap& targets) override; // move abs and wait
    int GetPositionImpl(TickMap& positions, const stg::ESelection& selection) override;
    int GotoUpperLimitImpl(const Axes& axes) override; // move max and wait
    int GotoLowerLimitImpl(const Axes& axes) override; // move min and wait
    // Homes the axes (together), then takes the devices' limit.min and limit.max as the limits.
    int InitRangesImpl(const Axes& axes) override;

private:
    struct tTarget {
        int address = 0;
        int axis = 0;
        bool alerts = false; // the device sends alerts
        std::string name;    // "X", for messages
    };
    using Targets = std::map<int, tTarget>;

    // One command to the axis's device; a rejection becomes a code (`badData` for BADDATA).
    int Command(const tTarget& target, const std::string& words, tMessage& reply, int badData) const;
    // The verb with each value to its axis; `needsReference`: a move the device accepted although
    // the axis has no reference is stopped and refused (RefuseUnreferenced). A stop counted after
    // `stopsBefore` ends it with c_Stopped (StopIfStopped).
    int CommandAll(const TickMap& values, const std::string& verb, int badData, bool needsReference,
                   unsigned stopsBefore);
    int RefuseUnreferenced(const tTarget& target, const tMessage& reply) const;
    // The limit runs: `words` ("move max", "move min") to every axis, then the wait.
    int RunToEnd(const Axes& axes, const char* words);
    // A stop counted after `stopsBefore` may have reached the devices before the moves just
    // started: those axes are stopped again and the answer is c_Stopped; otherwise c_OK.
    int StopIfStopped(const Axes& axes, unsigned stopsBefore) const;
    // Waits until the axes are at rest: c_OK, c_Timeout, c_Stopped (a stop counted after
    // `stopsBefore`) or the fault of an axis.
    int WaitAxes(const Axes& axes, std::uint32_t timeoutMs, unsigned stopsBefore);
    int FaultOf(const tTarget& target, const tMessage& reply) const;
    unsigned Stops() const;
    void OnAlert(const tMessage& alert);
    void Say(const std::string& message) const; // into "DriverMessage"
    int Fail(int code, const std::string& message) const
    {
        Say(message);
        return code;
    }
    const tTarget* Find(int axis) const;

    std::shared_ptr<CZaberLink> m_link; // replaced only by InitImpl
    Targets m_targets;                  // driver axis -> device axis; replaced only by InitImpl
    mutable std::mutex m_mutex;         // see the class comment
    std::condition_variable m_changed;  // an alert or a stop
    unsigned m_stops = 0;
    std::map<std::pair<int, int>, unsigned> m_alerts; // (address, axis) -> alerts seen
};

} // namespace zaber
