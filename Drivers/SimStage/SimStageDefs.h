#pragma once

// What an application or a test needs to know about the simulated stage driver (the module
// plinth_simstage): its own stage properties and the hardware it simulates.

#include <cstdint>

#include <plinth/driver/Driver.h>

namespace simstage {

// Stage-level properties of this driver, written and read through the stage's property vessel
// (stg::WriteStageProperty / stg::ReadStageProperty). The driver reads them whenever it uses them,
// so a write takes effect with the next call. IDs from 60000 on belong to this driver.

// int32 (type 5): the capability profile, an ESimProfile. Absent or any other value: full.
constexpr int c_propSimProfile = 60000;
// double (type 10): simulated seconds per real second. 1.0 is real time; 1000.0 makes a 20 s
// travel take 20 ms. Absent, not positive or not finite: c_defaultSimTimeScale, so that a first
// range search over the whole travel takes a few seconds, not most of a minute. Time-outs passed
// to WaitForStop stay real milliseconds.
constexpr int c_propSimTimeScale = 60001;
constexpr double c_defaultSimTimeScale = 10.0;
// The time scales a write through stg::SetProperty may give (the registered range).
constexpr double c_minTimeScale = 1e-6;
constexpr double c_maxTimeScale = 1e6;

// Which movement commands the simulated controller offers. The commands it lacks answer
// stg::c_NotImplemented, and the medium level builds them out of the others.
enum ESimProfile : std::int32_t {
    // Everything: started moves with status polling (MoveToPos, IsMoving, WaitForStop), blocking
    // moves (SetPosition), free runs, runs to the end switches and the range search.
    eSimFull = 0,
    // A controller that answers a move command only when the move is over, as many simple
    // serial controllers do. It offers SetPosition, the runs to the end switches, the range
    // search (all blocking), StopMoving and the position and status queries; nothing moves
    // between two calls. It lacks MoveToPos and WaitForStop (the library starts a worker thread
    // that calls SetPosition) and MoveFree (a jog is a started motion; the library runs to the
    // software limits instead).
    eSimBlockingOnly = 1,
    // A controller that starts motions and is polled for their end. It offers MoveToPos,
    // IsMoving, WaitForStop, StopMoving, MoveFree and the range search (which the driver runs by
    // polling). It lacks SetPosition (the library calls MoveToPos and waits) and the runs to the
    // end switches (the library moves towards far targets, which the end switches stop).
    eSimStartedOnly = 2,
};

// One simulated axis. Positions are ticks, speeds ticks per second, accelerations ticks per
// second squared. The axes' "Speed", "SpeedMin" and "SpeedMax" are in ticks per second too.
struct tSimAxisHardware {
    int axisNo;
    stg::EAxisType type;
    double tickUm;              // "Calibration": micrometres per tick
    std::int64_t lowerEndTicks; // the lower end switch
    std::int64_t upperEndTicks; // the upper end switch
    double speedTicksPerS;      // default "Speed"
    double minSpeedTicksPerS;   // "SpeedMin"
    double maxSpeedTicksPerS;   // "SpeedMax"; faster "Speed" settings run at this speed
    double accelTicksPerS2;     // fixed: ramps up and down of every move
};

// A 100 mm x 100 mm XY stage and a 10 mm focus drive. X and Y differ in tick length on purpose,
// so that a swapped axis or a skipped conversion shows: X 0.1 um, Y 0.05 um, Z 0.01 um per tick.
// X and Y run at 5 mm/s (up to 20 mm/s) with 100 mm/s^2; Z at 1 mm/s (up to 3 mm/s) with
// 20 mm/s^2. X and Y have their origin in the middle of travel, Z at its lower end.
inline constexpr tSimAxisHardware c_simAxes[] = {
    {1, stg::eAxisX, 0.1, -500'000, 500'000, 50'000.0, 10.0, 200'000.0, 1'000'000.0},
    {2, stg::eAxisY, 0.05, -1'000'000, 1'000'000, 100'000.0, 20.0, 400'000.0, 2'000'000.0},
    {3, stg::eAxisZ, 0.01, 0, 1'000'000, 100'000.0, 100.0, 300'000.0, 2'000'000.0},
};

} // namespace simstage
