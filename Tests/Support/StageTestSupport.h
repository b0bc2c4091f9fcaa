#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <boost/any.hpp>
#include <boost/make_shared.hpp>

#include <plinth/Plinth.h>

#include "CTestStage.h"

namespace stgtest {

// A stage ID not used by any other test of the process (the configuration database is global).
std::uint32_t UniqueStageID();

// Axis descriptions that differ per axis, so swapped axes show.
stg::tAxisProps XAxis(int axisNo = 1);
stg::tAxisProps YAxis(int axisNo = 2);
stg::tAxisProps ZAxis(int axisNo = 3);

// A driver that implements every slot, with these axes.
tTestStageConfig FullDriver(std::vector<stg::tAxisProps> axes);

// A test stage under a fresh stage ID whose property set leaves the configuration database again
// when the stage goes.
struct tStageDeleter {
    void operator()(CTestStage* stage) const;
};
using TestStagePtr = std::unique_ptr<CTestStage, tStageDeleter>;
TestStagePtr MakeStage(tTestStageConfig config);

// Typed reads and writes of an axis property through the public vessels.
template <class T>
T AxisProp(const stg::CLowLevelStage& stage, int axis, int propID, T fallback = T{})
{
    mem::CBin value;
    if (stage.GetPropertyVessel(axis, propID, value) == stg::c_OK)
        value.Get(fallback);
    return fallback;
}

// Records the stage events of one stage, and optionally driver calls, in one ordered log.
class CEventLog {
public:
    explicit CEventLog(std::uint32_t stageID);
    ~CEventLog();
    CEventLog(const CEventLog&) = delete;
    CEventLog& operator=(const CEventLog&) = delete;

    // Entries look like "10@1" (kind 10 for axis 1) or "call:24" (driver slot 24).
    std::vector<std::string> Entries() const;
    void Note(const std::string& entry);
    // A hook for tTestStageConfig::onCall that notes every driver call.
    std::function<void(ESlot)> CallNoter();
    void Clear();

private:
    std::uint32_t m_stageID;
    utl::EventToken m_token;
    mutable std::mutex m_mutex;
    std::vector<std::string> m_entries;
};

} // namespace stgtest
