#pragma once

#include <mutex>
#include <optional>

#include <app/CError.h>

namespace app {

// Collects the last error of a component, independent of threads. Thread-safe.
class CErrorManager {
public:
    void Record(const CError& error);
    std::optional<CError> GetLast() const;

private:
    mutable std::mutex m_mutex;
    std::optional<CError> m_last;
};

// Makes `error` the calling thread's last error and, when `manager` is given, records it there too.
// Always answers true.
bool SetLastError(const CError& error, CErrorManager* manager);
// The calling thread's last error; nothing when none was recorded (or after ClearLastError).
std::optional<CError> GetLastError();
void ClearLastError();

} // namespace app
