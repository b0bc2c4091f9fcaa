#include "StageTestSupport.h"

#include <atomic>

#include <cfg/GlobalPropSets.h>

namespace stgtest {

std::uint32_t UniqueStageID()
{
    static std::atomic<std::uint32_t> next{100000};
    return next++;
}

stg::tAxisProps XAxis(int axisNo)
{
    stg::tAxisProps props;
    props.axisNo = axisNo;
    props.axisType = stg::eAxisX;
    props.calibration = utl::TUnitValue<double>(0.7, utl::c_mum);
    props.speed = 7.0;
    props.speedMin = 0.7;
    props.speedMax = 70.0;
    return props;
}

stg::tAxisProps YAxis(int axisNo)
{
    stg::tAxisProps props = XAxis(axisNo);
    props.axisType = stg::eAxisY;
    props.calibration = utl::TUnitValue<double>(0.5, utl::c_mum);
    props.speed = 5.0;
    return props;
}

stg::tAxisProps ZAxis(int axisNo)
{
    stg::tAxisProps props = XAxis(axisNo);
    props.axisType = stg::eAxisZ;
    props.calibration = utl::TUnitValue<double>(20.0, utl::c_nm);
    props.speed = 3.0;
    return props;
}

tTestStageConfig FullDriver(std::vector<stg::tAxisProps> axes)
{
    tTestStageConfig config;
    config.axes = std::move(axes);
    config.implemented = AllSlots();
    return config;
}

void tStageDeleter::operator()(CTestStage* stage) const
{
    const std::uint32_t stageID = stage->GetStageID();
    delete stage;
    cfg::UnPlugGlobalPropSet(stg::c_cfgStageGroup, stageID);
}

TestStagePtr MakeStage(tTestStageConfig config)
{
    return TestStagePtr(new CTestStage(UniqueStageID(), std::move(config)));
}

CEventLog::CEventLog(std::uint32_t stageID) : m_stageID(stageID)
{
    m_token = utl::SubscribeEvent(stg::GetStageEventID(), [this](const boost::any& message) {
        const auto& msg = boost::any_cast<const stg::tSTAGEMSG&>(message);
        // The move events come from the library's watcher thread, in no fixed order with the rest.
        if (msg.stageID == m_stageID && msg.msgID < stg::c_msgMoveStarted)
            Note(std::to_string(msg.msgID) + "@" + std::to_string(msg.axis));
    });
}

CEventLog::~CEventLog() { utl::UnsubscribeEvent(m_token); }

std::vector<std::string> CEventLog::Entries() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_entries;
}

void CEventLog::Note(const std::string& entry)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries.push_back(entry);
}

std::function<void(ESlot)> CEventLog::CallNoter()
{
    return [this](ESlot slot) { Note("call:" + std::to_string(static_cast<int>(slot))); };
}

void CEventLog::Clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries.clear();
}

} // namespace stgtest
