#pragma once

#include <boost/shared_ptr.hpp>

#include <mem/CBin.h>
#include <plinth/driver/StageTypes.h>
#include <utl/CPropSet.h>

namespace stg {

// One axis of a low-level stage: its property set, kept inside the stage property set's "Axes"
// list, and whether its lower and upper limits are defined.
//
// Copies share the property set; nothing is deep-copied. An axis takes no lock: the low-level
// stage calls it under its stage lock.
class CAxis {
public:
    CAxis() = default; // no property set, limits undefined

    // Finds or makes the property set of `props.axisNo` inside `stageSet` and fills in the
    // defaults from `props`. With `fresh` true the axis always starts from a new set holding only
    // "AxisNo" (what was stored for that number is dropped from "Axes"); with `fresh` false the
    // stored set is reused and only missing settings are added. A null `stageSet` or a negative
    // axis number leaves the axis without a property set (HasPropSet() false).
    CAxis(const tAxisProps& props, const boost::shared_ptr<utl::CPropSet>& stageSet, bool fresh);

    bool HasPropSet() const noexcept { return static_cast<bool>(m_props); }
    const boost::shared_ptr<utl::CPropSet>& GetPropSet() const noexcept { return m_props; }

    // True when the property is present (value filled in); false when absent or without a set.
    bool GetProperty(const int& propID, mem::CBin& value) const
    {
        return m_props && m_props->GetProperty(propID, value);
    }
    // Stores the value; writing "Minimum" or "Maximum" marks that limit defined. Answers true
    // (false only for an axis without a property set).
    bool SetProperty(const int& propID, const mem::CBin& value);

    // Both limits are defined.
    bool AreLimitsDefined() const noexcept { return m_upperDefined && m_lowerDefined; }
    // Marks both limits undefined and deletes "Minimum" and "Maximum".
    void UndefineLimits();

private:
    void Init(const tAxisProps& props);

    bool m_upperDefined = false;
    bool m_lowerDefined = false;
    boost::shared_ptr<utl::CPropSet> m_props;
};

} // namespace stg
