// `plinth demo`: the simulated stage put through what an imaging application does with a stage.

#include <chrono>
#include <cstdio>
#include <map>

#include "CCommands.h"
#include "CStopOnSignal.h"
#include "Quantity.h"

namespace plinthcli {
namespace {

using Position = utl::TUnitValue<double>;
using Vec2 = utl::TUnitValue<geo::CdVec2>;
using Clock = std::chrono::steady_clock;

// The demo's simulated time runs this much faster than real time unless --time-scale says other.
constexpr double c_demoTimeScale = 10.0;

void Step(const char* text) { std::printf("\n== %s\n", text); }

} // namespace

void CCommands::Demo()
{
    const auto start = Clock::now();
    if (m_target.timeScale <= 0.0)
        m_target.timeScale = c_demoTimeScale;
    CStageSession& session = Session();
    const std::uint32_t id = session.ID();
    const CStopOnSignal stopOnSignal(id);
    std::map<int, int> eventsByKind;
    session.OnEvent([&](const stg::tSTAGEMSG& msg) { ++eventsByKind[msg.msgID]; });
    int moves = 0;
    const auto check = [&](const char* what, int code) {
        CheckCode(what, code);
        ++moves;
    };

    std::printf("Plinth demonstration: stage %u from %s\n", id, session.ModulePath().c_str());
    std::printf("(simulated time runs %gx faster than real time)\n", m_target.timeScale);
    Info();

    Step("Searching the end switches of every axis; the limits found are announced as events");
    CheckCode("range search", stg::CStageManager::StageManager().GetMediumLevel(id)->InitRanges(stg::GetAxisList(id)));
    Limits(tLimitsArgs{});

    const int x = stg::GetAxisFromType(id, stg::eAxisX);
    const int y = stg::GetAxisFromType(id, stg::eAxisY);
    const int z = stg::GetAxisFromType(id, stg::eAxisZ);

    Step("Moving X/Y to (12.5 mm, -7.5 mm); the move is started and watched");
    check("XY move", stg::MoveToXY(id, Vec2({12.5, -7.5}, utl::c_mm), false));
    ShowPositionsWhileMoving({x, y});
    CheckCode("waiting for XY", stg::WaitForStopXY(id, stg::c_waitForever));

    Step("Focusing: Z to 2500 µm");
    check("Z move", stg::MoveTo(id, stg::eAxisZ, Position(2500, utl::c_mum), false));
    ShowPositionsWhileMoving({z});
    CheckCode("waiting for Z", stg::WaitForStop(id, stg::eAxisZ, stg::c_waitForever));

    Step("Escaping Z out of the way (at most 3 mm towards its lower limit), then bringing it back");
    Escape(true);
    ++moves;
    Escape(false);
    ++moves;

    Step("Storing the position, visiting another field, restoring the position");
    {
        stg::CPositionStorage stored(id, 1 | 2 | 4);
        if (!stored.IsValid())
            throw CCommandError("the position could not be stored");
        check("XY move", stg::MoveToXY(id, Vec2({-20000, 15000}, utl::c_mum), true));
        Pos();
        check("restoring the position", stored.Restore());
        Pos();
    }

    Step("Summary");
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("  %d moves in %.1f s; events:", moves, seconds);
    for (const auto& [kind, count] : eventsByKind)
        std::printf(" %d x %s;", count, EventName(kind));
    std::printf("\n");
    Position xPos, yPos, zPos;
    stg::GetPosition(id, stg::eAxisX, xPos);
    stg::GetPosition(id, stg::eAxisY, yPos);
    stg::GetPosition(id, stg::eAxisZ, zPos);
    std::printf("  the stage stands at X %s, Y %s, Z %s\n", FormatQuantity(xPos).c_str(), FormatQuantity(yPos).c_str(),
                FormatQuantity(zPos).c_str());
    session.PrintEvents(false);
}

} // namespace plinthcli
