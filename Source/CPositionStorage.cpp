#include <plinth/CPositionStorage.h>

#include <plinth/StageAPIAxes.h>
#include <plinth/driver/ResultCodes.h>

namespace stg {

CPositionStorage::CPositionStorage(std::uint32_t stageID, int axisMask) : m_stageID(stageID)
{
    const std::pair<int, EAxisType> bits[] = {{c_axisMaskX, eAxisX}, {c_axisMaskY, eAxisY}, {c_axisMaskZ, eAxisZ}};
    for (const auto& [bit, type] : bits)
        if (axisMask & bit)
            m_positions[type] = utl::TUnitValue<double>(0.0, utl::c_mum);
    if (GetPosition(m_stageID, m_positions, eGivenAxes) != c_OK)
        m_positions.clear();
}

CPositionStorage::~CPositionStorage()
{
    if (!IsValid())
        return;
    try {
        Restore();
    } catch (...) {
        // A destructor must not throw; the stage stays where it is.
    }
}

int CPositionStorage::Restore()
{
    const auto positions = std::move(m_positions);
    m_positions.clear();
    return SetPosition(m_stageID, positions);
}

} // namespace stg
