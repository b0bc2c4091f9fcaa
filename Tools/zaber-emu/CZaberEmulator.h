#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "CAxisMotion.h"
#include "CLineEmulator.h"
#include "CSteadySimClock.h"

namespace zaberemu {

// Device IDs of the products the emulator knows (its own table in CZaberEmulator.cpp).
constexpr int c_xMCB2 = 30222;     // two-axis controller
constexpr int c_xVSR20A = 50202;   // vertical stage, the focus drive
constexpr int c_asr100B = 44012;   // peripheral: the lower (100 mm) axis of an X-ASR100B120B-T3
constexpr int c_asr120B = 44022;   // peripheral: its upper (120 mm) axis
constexpr int c_unknownID = 59999; // a device no table knows: 1,000,000 microsteps of travel

// One emulated device on the chain; devices are numbered 1, 2, ... in the order given.
struct tEmulatedDevice {
    int axes = 1;                   // 1..9 (more only to test the driver's refusal)
    bool alerts = true;             // false: "set comm.alert 1" is refused, as by a device without alerts
    int deviceID = c_xVSR20A;       // "device.id" (firmware 7) or "deviceid" (6)
    std::vector<int> peripheralIDs; // per axis: a controller's stages; empty: an integrated device
    int firmware = 7;               // 6 or 7: the names of the identity settings
    int address = 0;                // 0: its place in the chain; another: shares that address
    bool messageIDs = true;         // false: firmware 6.06, which takes an ID for a command word
};

// A device of the product `deviceID`: a controller with these peripherals (one axis each), or an
// integrated single-axis device.
inline tEmulatedDevice Device(int deviceID, std::vector<int> peripheralIDs = {}, bool alerts = true)
{
    tEmulatedDevice device;
    device.axes = peripheralIDs.empty() ? 1 : static_cast<int>(peripheralIDs.size());
    device.alerts = alerts;
    device.deviceID = deviceID;
    device.peripheralIDs = std::move(peripheralIDs);
    return device;
}

// The microscope chain: an X-MCB2 driving an X-ASR100B120B-T3 (X/Y), and an X-VSR20A (focus).
inline std::vector<tEmulatedDevice> MicroscopeChain()
{
    return {Device(c_xMCB2, {c_asr100B, c_asr120B}), Device(c_xVSR20A)};
}

struct tEmulatorOptions {
    std::vector<tEmulatedDevice> devices = MicroscopeChain();
    double timeScale = 1.0; // simulated seconds per real second
    // When set, a symbolic link to the pseudo-terminal, kept across Vanish/Reappear. Start refuses
    // a path that exists; Stop removes the link only while it is still the one made here.
    std::string linkPath;
};

// Zaber ASCII devices on a pseudo-terminal, for tests and for trying the driver without hardware.
// A command ends at CR or LF (or both); replies and alerts end in CR LF.
//
// Every axis moves along the simulated stage's motion model (trapezoidal moves at "maxspeed" and
// the device's acceleration, end switches at 0 and the travel, which follows from the product's
// travel and microstep size at resolution 64). An axis starts without a position
// reference (WR, position counter 0 wherever it stands) until "home" runs it to the lower end
// switch. Replies come at once; alerts ("comm.alert 1") when an axis comes to rest. Unknown
// commands and settings are rejected (BADCOMMAND).
//
// Choices where the protocol's facts are unconfirmed: a command with a bad checksum is dropped
// without a reply; alerts of a single-axis device carry axis 1; "warnings clear" lists the flags
// as they were before clearing; "set accel" is kept but the motion model's acceleration is fixed.
//
// Faults of its own for tests: a device silent, a noise line before a reply that comes split, a
// bad checksum, a stall in the middle of the next move of an axis (or a slip: it ends there
// without a flag), a chain that ignores stops, a device power-cycled, a reply with other data (a
// number out of range, say); the kit's faults besides (silence, a late reply, the port vanishing
// and coming back).
//
// The kit's serving thread calls Handle and Unprompted with the kit's mutex (Mutex()) held; every
// public member takes it, so any may be called from any thread.
class CZaberEmulator final : public emukit::CLineEmulator {
public:
    explicit CZaberEmulator(tEmulatorOptions options);
    ~CZaberEmulator() override; // Stop

    // No replies while on: from any device (`address` 0, also no alerts), or from that one;
    // commands still act.
    void Silence(bool on, int address = 0);
    // Unlike the kit's garbling, the reply survives: a noise line, then the reply split in two.
    void GarbleNextReply();
    void CorruptNextChecksum();                    // the next reply carries a wrong checksum
    void StallNextMove(int address, int axis);     // the axis's next move stops halfway with FS
    void SlipNextMove(int address, int axis);      // the axis's next move ends halfway, IDLE, no flag
    void IgnoreStops(bool on);                     // "stop" is answered but does nothing while on
    void PowerCycle(int address);                  // the device restarts: no reference, counter 0
    void Park(int address);                        // as "tools parking park" from another program
    void ReplaceNextData(const std::string& data); // the next accepted reply carries this data
    std::string LastCommand(int address) const;    // the words of the device's last command
    // What the devices keep across a power cycle (comm.alert, maxspeed, accel, limits), in words.
    std::string StoredSettings() const;
    // The "home" commands received, in order: "address.axis", "+" appended when another axis of
    // the chain was moving at the time.
    std::vector<std::string> Homings() const;
    int CommandsReceived(int address) const; // commands addressed to the device (broadcasts too)
    // Waits until the device has received `count` commands in all, at most `timeoutMs`.
    bool WaitForCommands(int address, int count, int timeoutMs) const;

protected:
    // Its own faults in words: "silent on|off ADDRESS", "garble", "bad-checksum", "stall ADDRESS
    // AXIS", "slip ADDRESS AXIS", "deaf-to-stop on|off", "power-cycle ADDRESS", "park ADDRESS".
    bool ControlProtocol(const std::vector<std::string>& words) override;
    std::string Handle(const std::string& line) override;
    std::string Unprompted(int& waitMs) override; // the alerts of axes that came to rest

private:
    struct tAxis {
        std::unique_ptr<simstage::CAxisMotion> motion;
        std::int64_t travel = 0;
        std::int64_t offset = 0; // position counter = physical position + offset
        std::int64_t maxspeed = 153'600;
        std::int64_t accel = 205;
        std::int64_t approachSpeed = 153'600; // limit.approach.maxspeed: homing runs no faster
        int peripheralID = 0;
        std::int64_t limitMin = 0;
        std::int64_t limitMax = 0;
        bool homing = false;     // the motion under way is a homing run
        bool alertDue = false;   // an alert is sent when the motion ends
        bool stallArmed = false; // the next move stalls halfway
        bool slipArmed = false;  // the next move ends halfway without a flag
        bool slipping = false;   // the move under way ends at stallAtS without a flag
        double stallAtS = -1.0;  // when the move under way stalls (negative: it does not)
        std::set<std::string> flags;
    };
    struct tDevice {
        tEmulatedDevice config;
        int address = 0;
        std::vector<tAxis> axes; // axis n at index n - 1
        bool alerts = false;     // comm.alert
        bool checksums = false;  // comm.checksum
        bool parked = false;     // tools parking park: movements but home are refused (PARKED)
        int commands = 0;
        std::string lastCommand;
        bool silent = false;
    };
    struct tCommand {
        int address = 0;
        int axis = 0;
        int id = -1;
        std::vector<std::string> words;
    };

    // Every private member below expects Mutex() held.
    void ArmMove(int address, int axis, bool stall); // the axis's next move stalls (or slips)
    void Power(int address);                         // a power cycle
    void SetParked(int address);
    // Handles one command line; appends the lines to send (alerts that fell due first).
    void Respond(const std::string& line, std::vector<std::string>& out);
    std::string Answer(tDevice& device, int address, const tCommand& command, double nowS);
    std::string Reply(const tDevice& device, int address, const tCommand& command, bool accepted,
                      const std::string& data, double nowS) const;
    std::string Frame(const tDevice& device, char kind, const std::string& body) const;
    std::string AxisCommand(tDevice& device, const tCommand& command, double nowS);
    std::string MoveAxis(tAxis& axis, const std::vector<std::string>& words, double nowS, bool check);
    void Update(double nowS, std::vector<std::string>& out); // ends of motions, stalls, alerts
    double NextEventS() const;
    std::string TopFlag(const tAxis& axis) const;
    std::string DeviceFlag(const tDevice& device) const;
    bool Busy(const tAxis& axis, double nowS) const { return axis.motion->IsMovingAt(nowS); }
    std::int64_t Pos(const tAxis& axis, double nowS) const { return axis.motion->PositionAt(nowS) + axis.offset; }

    tEmulatorOptions m_options;
    simstage::CSteadySimClock m_clock;
    mutable std::condition_variable m_handled; // a command was handled; with Mutex()
    std::vector<tDevice> m_devices;
    bool m_garble = false;
    bool m_corrupt = false;
    bool m_ignoreStops = false;
    std::string m_replaceData;
    std::vector<std::string> m_homings;
};

} // namespace zaberemu
