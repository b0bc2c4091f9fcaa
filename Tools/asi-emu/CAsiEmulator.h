#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CAxisMotion.h"
#include "CLineEmulator.h"
#include "CSteadySimClock.h"

namespace asiemu {

struct tAsiEmulatorOptions {
    bool tiger = false;              // a Tiger card cage (card-addressed commands) instead of an MS-2000
    double timeScale = 1.0;          // simulated seconds per real second
    std::string linkPath;            // when set, a symbolic link to the terminal, kept across vanish/return
    bool rejectBeyondLimits = false; // a move beyond SL/SU answers :N-4 instead of stopping there
    std::string stallAxis;           // "X": that axis's first move stops halfway, the motor disabled
    int vanishAfterMoves = 0;        // > 0: the port vanishes right after answering that many moves
    std::uint32_t seed = 1;          // of the garbling
};

// An ASI MS-2000 (or Tiger) controller with X, Y and Z on a pseudo-terminal, for tests and for
// trying the driver without hardware. Commands end in CR (an LF is dropped), replies in CR LF.
//
// Positions are counted in the controller's units: UM units per millimetre (10 000 by default,
// 0.1 µm). After power-up each counter reads 0 where its carriage stands: X 10 mm above the
// middle of its 100 mm of travel, Y 5 mm below the middle of 80 mm, Z 1 mm above the middle of
// 20 mm. Every axis moves along the simulated stage's motion model at its SPEED with the
// acceleration its default ACCEL gives; hardware end switches stop it at the ends of travel.
//
// Choices where the controller's behaviour is not documented: a move beyond a firmware limit
// (SL/SU) stops at the limit and answers :A (or :N-4 with rejectBeyondLimits); HOME runs toward
// the SETHOME position and stops at the first limit, keeping the counter; HALT ramps down; a
// constant-speed run (VECTOR) counts as a commanded move (STATUS answers B) and stops at the
// firmware limit; a new move re-plans from the current motion; an unknown command answers :N-1
// (:N-6 on a Tiger); a value that is no number :N-6, a negative ACCEL or BACKLASH :N-4, a
// command without its axis parameter :N-3; an empty line is not answered.
//
// Faults of its own: a stalled axis (stops halfway, then refuses moves with :N-5 until MC X+)
// and the port vanishing after a given number of moves; the kit's faults besides.
class CAsiEmulator final : public emukit::CLineEmulator {
public:
    explicit CAsiEmulator(tAsiEmulatorOptions options);
    ~CAsiEmulator() override;

    // The controller's counter of an axis ("X", "Y", "Z") in 0.1 µm, now.
    std::int64_t Position(char axis) const;
    // Moves (MOVE, MOVREL, HOME, VECTOR) received so far.
    int MovesReceived() const;
    // Arms the stall of an axis's next move.
    void StallNextMove(char axis);

protected:
    std::string Handle(const std::string& line) override;
    bool ControlProtocol(const std::vector<std::string>& words) override;

private:
    struct tAxis {
        char name = 'X';
        std::unique_ptr<simstage::CAxisMotion> motion; // physical position, 0.1 µm from the lower end
        std::int64_t offset = 0;                       // counter (0.1 µm) = physical - offset
        double speedMmS = 5.0, maxSpeedMmS = 7.5;
        int accelMs = 70;
        double backlashMm = 0.04;
        double lowMm = 0.0, highMm = 0.0, defaultLowMm = 0.0, defaultHighMm = 0.0; // SL, SU
        double homeMm = 1000.0;
        double unitsPerMm = 10'000.0;
        std::int64_t travel = 0;
        bool enabled = true;
        bool commanded = false; // the motion under way was commanded over the serial line
        bool stallArmed = false;
        double stallAtS = -1.0;
    };
    struct tParam {
        char axis = 0;
        char mark = 0; // '=', '?', '+', '-' or 0 (a bare letter)
        std::string value;
    };

    // Every member below expects the kit's lock held.
    void Update(double nowS); // stalls that are due
    tAxis* Find(char name);
    std::int64_t Counter(const tAxis& axis, double nowS) const;
    std::string Answer(const std::string& verb, const std::vector<tParam>& params, double nowS);
    std::string Move(const std::vector<tParam>& params, bool relative, double nowS);
    std::string Where(const std::vector<tParam>& params, double nowS);
    std::string Status(const std::vector<tParam>& params, double nowS);
    std::string Halt(double nowS);
    std::string Vector(const std::vector<tParam>& params, double nowS);
    std::string Home(const std::vector<tParam>& params, double nowS);
    std::string Limits(const std::vector<tParam>& params, bool upper, double nowS);
    // Starts a commanded motion of `axis` to the counter value `targetTicks` (0.1 µm), within the
    // firmware limits; :N-4 when beyond them and rejectBeyondLimits.
    std::string StartMove(tAxis& axis, double targetTicks, double speedMmS, double nowS);
    int StatusByte(const tAxis& axis, double nowS) const;
    bool AtLower(const tAxis& axis, double nowS) const;
    bool AtUpper(const tAxis& axis, double nowS) const;
    std::string CountMove(std::string reply); // counts a move, arms the vanishing

    tAsiEmulatorOptions m_options;
    mutable simstage::CSteadySimClock m_clock; // thread-safe itself; read by const members
    std::array<tAxis, 3> m_axes;
    std::vector<double> m_targets; // the target of each axis (counter, 0.1 µm), for MOVREL
    int m_moves = 0;
};

} // namespace asiemu
