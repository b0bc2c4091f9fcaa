#pragma once

#include <cstdint>
#include <string>

#include <mem/CBin.h>
#include <plinth/driver/CLowLevelStage.h>
#include <plinth/driver/ResultCodes.h>
#include <utl/TUnitValue.h>

namespace stg {

// Typed reads and writes of stage and axis properties through a low-level stage's property
// vessels (each call takes the stage lock for its own duration). T is one of std::int32_t,
// std::int64_t, double, bool, std::wstring or utl::TUnitValue<double> (a double with its unit;
// a plain double reads with the null unit, and a double with a unit reads as its bare number).
//
// A read answers the vessel's code and fills `value` only on c_OK. A stored value of another type
// than T is never reinterpreted: the read answers c_PropertyNotAccessible and leaves `value` as
// the caller put it.

namespace detail {
inline bool Extract(const mem::CBin& stored, utl::TUnitValue<double>& value)
{
    double number = 0.0;
    if (!stored.Get(number))
        return false;
    utl::CUnit unit;
    stored.GetUnit(unit);
    value = utl::TUnitValue<double>(number, unit);
    return true;
}
inline bool Extract(const mem::CBin& stored, std::wstring& value) { return stored.Restore(value); }
template <class T>
bool Extract(const mem::CBin& stored, T& value)
{
    return stored.Get(value);
}
inline mem::CBin Pack(const utl::TUnitValue<double>& value)
{
    mem::CBin bin = mem::CBin::Of(value.GetValue());
    bin.SetUnit(value.GetUnit());
    return bin;
}
inline mem::CBin Pack(const std::wstring& value)
{
    mem::CBin bin;
    bin.Store(value);
    return bin;
}
template <class T>
mem::CBin Pack(const T& value)
{
    return mem::CBin::Of(value);
}
} // namespace detail

template <class T>
int ReadAxisProperty(const CLowLevelStage& stage, int axis, int propID, T& value)
{
    mem::CBin stored;
    const int rc = stage.GetPropertyVessel(axis, propID, stored);
    if (rc == c_OK && !detail::Extract(stored, value))
        return c_PropertyNotAccessible;
    return rc;
}

// The same under a hold of the stage lock (see CLowLevelStage::CHold), which the read does not
// take again.
template <class T>
int ReadAxisProperty(const CLowLevelStage& stage, const CLowLevelStage::CHold& held, int axis, int propID, T& value)
{
    mem::CBin stored;
    const int rc = stage.GetPropertyVessel(held, axis, propID, stored);
    if (rc == c_OK && !detail::Extract(stored, value))
        return c_PropertyNotAccessible;
    return rc;
}

template <class T>
int ReadStageProperty(const CLowLevelStage& stage, int propID, T& value)
{
    mem::CBin stored;
    const int rc = stage.GetPropertyVessel(propID, stored);
    if (rc == c_OK && !detail::Extract(stored, value))
        return c_PropertyNotAccessible;
    return rc;
}

// The same under a hold of the stage lock, which the read does not take again.
template <class T>
int ReadStageProperty(const CLowLevelStage& stage, const CLowLevelStage::CHold& held, int propID, T& value)
{
    mem::CBin stored;
    const int rc = stage.GetPropertyVessel(held, propID, stored);
    if (rc == c_OK && !detail::Extract(stored, value))
        return c_PropertyNotAccessible;
    return rc;
}

template <class T>
int WriteAxisProperty(CLowLevelStage& stage, int axis, int propID, const T& value)
{
    return stage.SetPropertyVessel(axis, propID, detail::Pack(value));
}

// The stage-level vessel gives no answer: a write reaches the driver's slot and is done.
template <class T>
void WriteStageProperty(CLowLevelStage& stage, int propID, const T& value)
{
    stage.SetPropertyVessel(propID, detail::Pack(value));
}

} // namespace stg
