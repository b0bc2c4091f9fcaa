#pragma once

#include <memory>
#include <thread>

#include <plinth/CStageAccess.h>

namespace stg {

namespace detail {
struct tActiveStage;
}

// A hold on an active stage, from CStageManager::Acquire: while it lives, the stage's objects
// (stage access object, medium level, driver object) stay alive, even when another thread
// deactivates, unregisters or resets the stage meanwhile; those wait until every hold of other
// threads has ended. Empty when the stage was not active. Holds are for the length of a call,
// not for keeping: a stage cannot be retired while another thread keeps one.
class CStageRef {
public:
    CStageRef() noexcept = default;
    CStageRef(CStageRef&& other) noexcept;
    CStageRef& operator=(CStageRef&& other) noexcept;
    CStageRef(const CStageRef&) = delete;
    CStageRef& operator=(const CStageRef&) = delete;
    ~CStageRef();

    explicit operator bool() const noexcept { return m_access != nullptr; }
    CStageAccess* get() const noexcept { return m_access; }
    CStageAccess& operator*() const noexcept { return *m_access; }
    CStageAccess* operator->() const noexcept { return m_access; }

private:
    friend class CStageManager;
    CStageRef(std::shared_ptr<detail::tActiveStage> stage, CStageAccess* access) noexcept;
    void Release() noexcept;

    std::shared_ptr<detail::tActiveStage> m_stage;
    CStageAccess* m_access = nullptr;
    std::thread::id m_holder; // the thread that acquired it, as the manager counts it
};

} // namespace stg
