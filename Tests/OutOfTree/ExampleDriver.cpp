// The smallest useful driver: one X axis whose moves complete at once.

#include <plinth/driver/Driver.h>

#include <cstdint>
#include <map>

namespace example {

class CExampleDriver : public stg::CLowLevelStage {
public:
    explicit CExampleDriver(std::uint32_t stageID) : CLowLevelStage(stageID) {}

protected:
    int InitImpl() override
    {
        stg::tAxisProps props;
        props.axisNo = 1;
        props.axisType = stg::eAxisX;
        props.calibration = utl::TUnitValue<double>(0.5, utl::c_mum);
        props.speed = 10.0;
        AddAxis(props, true);
        m_positions[props.axisNo] = 0;
        return CLowLevelStage::InitImpl(); // receive the stored settings
    }

    int SetPositionImpl(const TickMap& targets) override
    {
        for (const auto& [axis, target] : targets)
            if (!m_positions.count(axis))
                return stg::c_NoSuchAxis;
        for (const auto& [axis, target] : targets)
            m_positions[axis] = target;
        return stg::c_OK;
    }

    int GetPositionImpl(TickMap& positions, const stg::ESelection& selection) override
    {
        if (selection == stg::eAllAxes)
            positions = m_positions;
        for (auto& [axis, ticks] : positions) {
            auto it = m_positions.find(axis);
            if (it == m_positions.end())
                return stg::c_NoSuchAxis;
            ticks = it->second;
        }
        return stg::c_OK;
    }

private:
    TickMap m_positions;
};

} // namespace example

PLINTH_DEFINE_CREATE_STAGE(example::CExampleDriver)
