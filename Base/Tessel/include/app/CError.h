#pragma once

#include <app/CDbgErrInfo.h>

namespace app {

// The group an error code belongs to. Groups are numbers agreed between components; the values
// are open (any int converts), the names are the ones in use here.
enum EErrorGroup : int { eErrGroupNone = 0, eErrGroupStage = 9 };

// One error: where it was recorded, its group and its code.
class CError {
public:
    CError(const CDbgErrInfo& info, EErrorGroup group, int code) : m_info(info), m_group(group), m_code(code) {}
    const CDbgErrInfo& GetInfo() const noexcept { return m_info; }
    EErrorGroup GetGroup() const noexcept { return m_group; }
    int GetCode() const noexcept { return m_code; }

private:
    CDbgErrInfo m_info;
    EErrorGroup m_group;
    int m_code;
};

} // namespace app
