// The move events: started, position samples in physical units, finished with the outcome, for
// native started moves, stops, blocking moves and emulated moves.

#include <chrono>
#include <condition_variable>
#include <mutex>

#include <gtest/gtest.h>

#include "StageTestSupport.h"

namespace stgtest {
namespace {

using Position = utl::TUnitValue<double>;

// The move events of one stage, from whichever thread fires them.
class CMoveEvents {
public:
    explicit CMoveEvents(std::uint32_t stageID)
    {
        m_token = utl::SubscribeEvent(stg::GetStageEventID(), [this, stageID](const boost::any& message) {
            const auto msg = boost::any_cast<stg::tSTAGEMSG>(message);
            if (msg.stageID != stageID || msg.msgID < stg::c_msgMoveStarted)
                return;
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_events.push_back(msg);
            m_changed.notify_all();
        });
    }
    ~CMoveEvents() { utl::UnsubscribeEvent(m_token); }
    CMoveEvents(const CMoveEvents&) = delete;
    CMoveEvents& operator=(const CMoveEvents&) = delete;

    // The events up to the next "finished" (bounded wait), taken out of the record.
    std::vector<stg::tSTAGEMSG> NextMove()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        const auto finished = [&] {
            for (std::size_t i = 0; i < m_events.size(); ++i)
                if (m_events[i].msgID == stg::c_msgMoveFinished)
                    return i + 1;
            return std::size_t{0};
        };
        m_changed.wait_for(lock, std::chrono::seconds(20), [&] { return finished() != 0; });
        const std::size_t end = finished();
        std::vector<stg::tSTAGEMSG> move(m_events.begin(), m_events.begin() + static_cast<std::ptrdiff_t>(end));
        m_events.erase(m_events.begin(), m_events.begin() + static_cast<std::ptrdiff_t>(end));
        return move;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<stg::tSTAGEMSG> m_events;
    utl::EventToken m_token = 0;
};

// Started first, finished last with `result`, the last sample of `axis` at `um` micrometres.
void ExpectMove(const std::vector<stg::tSTAGEMSG>& move, int result, int axis, double um)
{
    ASSERT_GE(move.size(), 3U);
    EXPECT_EQ(move.front().msgID, stg::c_msgMoveStarted);
    EXPECT_EQ(move.back().msgID, stg::c_msgMoveFinished);
    EXPECT_EQ(move.back().result, result);
    const stg::tSTAGEMSG* last = nullptr;
    for (const auto& msg : move)
        if (msg.msgID == stg::c_msgPositionSample && msg.axis == axis)
            last = &msg;
    ASSERT_NE(last, nullptr);
    EXPECT_DOUBLE_EQ(last->position.In(utl::c_mum).GetValue(), um);
}

TEST(MoveEvents, EveryKindOfMoveIsStartedSampledAndFinishedWithItsOutcome)
{
    for (const bool emulated : {false, true}) {
        SCOPED_TRACE(emulated ? "driver with blocking moves only" : "full driver");
        tTestStageConfig config = FullDriver({XAxis(1), YAxis(2)});
        if (emulated)
            for (ESlot slot : {ESlot::MoveToPos, ESlot::WaitForStop, ESlot::IsMoving, ESlot::MoveFree})
                config.implemented.erase(slot);
        TestStagePtr stage = MakeStage(config);
        stage->Init();
        for (int axis : {1, 2})
            stage->SetAxisLimits(axis, -1000, 1000);
        stg::CMediumLevelStage medium(*stage);
        // Samples are physical: ticks times the calibration, in the direction and offset of the axis.
        ASSERT_EQ(medium.SetCalibration({{1, Position(0.5, utl::c_mum)}, {2, Position(0.25, utl::c_mum)}}), stg::c_OK);
        ASSERT_EQ(stage->SetPropertyVessel(2, stg::c_propAxisInverted, mem::CBin::Of(true)), stg::c_OK);
        CMoveEvents events(stage->GetStageID());

        // A started move, ended by the wait of its mover.
        ASSERT_EQ(medium.MoveToPos({{1, 500}}), stg::c_OK);
        ASSERT_EQ(medium.WaitForStop({1}, 5000), stg::c_OK);
        ExpectMove(events.NextMove(), stg::c_OK, 1, 250.0);

        // A blocking move reports where it ended; one that fails reports the driver's answer.
        ASSERT_EQ(medium.SetPosition({{2, 300}}), stg::c_OK);
        ExpectMove(events.NextMove(), stg::c_OK, 2, -75.0);
        stage->Config().faults[ESlot::SetPosition] = {stg::c_Timeout};
        ASSERT_EQ(medium.SetPosition({{2, 100}}), stg::c_Timeout);
        ExpectMove(events.NextMove(), stg::c_Timeout, 2, -75.0);
        stage->Config().faults.clear();

        // A started move that a stop ends.
        if (!emulated) {
            ASSERT_EQ(medium.MoveToPos({{1, -400}}), stg::c_OK);
            ASSERT_EQ(medium.StopMoving(), stg::c_OK);
            ExpectMove(events.NextMove(), stg::c_Stopped, 1, 250.0);
        }
    }
}

} // namespace
} // namespace stgtest
