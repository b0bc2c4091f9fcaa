#include <app/LastError.h>

namespace app {
namespace {
thread_local std::optional<CError> t_lastError;
}

void CErrorManager::Record(const CError& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_last = error;
}

std::optional<CError> CErrorManager::GetLast() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_last;
}

bool SetLastError(const CError& error, CErrorManager* manager)
{
    t_lastError = error;
    if (manager)
        manager->Record(error);
    return true;
}

std::optional<CError> GetLastError() { return t_lastError; }

void ClearLastError() { t_lastError.reset(); }

} // namespace app
