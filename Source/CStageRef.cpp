#include <plinth/CStageRef.h>

#include <utility>

#include <plinth/CStageManager.h>

#include "ActiveStage.h"

namespace stg {

CStageRef::CStageRef(std::shared_ptr<detail::tActiveStage> stage, CStageAccess* access) noexcept
    : m_stage(std::move(stage)), m_access(access), m_holder(std::this_thread::get_id())
{
}

CStageRef::CStageRef(CStageRef&& other) noexcept
    : m_stage(std::move(other.m_stage)), m_access(std::exchange(other.m_access, nullptr)), m_holder(other.m_holder)
{
}

CStageRef& CStageRef::operator=(CStageRef&& other) noexcept
{
    if (this != &other) {
        Release();
        m_stage = std::move(other.m_stage);
        m_access = std::exchange(other.m_access, nullptr);
        m_holder = other.m_holder;
    }
    return *this;
}

CStageRef::~CStageRef() { Release(); }

void CStageRef::Release() noexcept
{
    if (!m_stage)
        return;
    CStageManager::StageManager().Unhold(*m_stage, m_holder);
    m_access = nullptr;
    m_stage.reset(); // may delete the stage: outside the manager's lock
}

} // namespace stg
