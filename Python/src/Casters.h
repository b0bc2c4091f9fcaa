#pragma once

// Conversions between the library's value types and Python objects, for the binding module only.
//
// - stg::EAxisType and stg::ESelection: Python ints (an IntEnum member is one).
// - geo::CdVec2 / geo::CdVec3: tuples of two or three floats.
// - utl::TUnitValue<T>: a pair (value, unit symbol) both ways, e.g. (12.5, "µm"); a named tuple
//   with these two fields (plinth.Quantity) is such a pair. A bare value without a unit means
//   micrometres. An unknown unit symbol does not convert, so the call fails with TypeError.

#include <string>

#include <pybind11/pybind11.h>

#include <geo/CdVec2.h>
#include <geo/CdVec3.h>
#include <plinth/driver/StageTypes.h>
#include <utl/CUnit.h>
#include <utl/TUnitValue.h>

namespace pybind11 {
namespace detail {

// An enumeration of the library that travels as a plain int.
template <class Enum>
struct tIntEnumCaster {
    PYBIND11_TYPE_CASTER(Enum, const_name("int"));

    bool load(handle source, bool convert)
    {
        make_caster<int> number;
        if (!number.load(source, convert))
            return false;
        value = static_cast<Enum>(cast_op<int>(number));
        return true;
    }
    static handle cast(Enum source, return_value_policy, handle) { return PyLong_FromLong(static_cast<long>(source)); }
};

template <>
struct type_caster<stg::EAxisType> : tIntEnumCaster<stg::EAxisType> {
};
template <>
struct type_caster<stg::ESelection> : tIntEnumCaster<stg::ESelection> {
};

// Reads `count` floats from a Python sequence of exactly that length.
inline bool LoadFloats(handle source, bool convert, double* out, std::size_t count)
{
    if (!isinstance<sequence>(source) || isinstance<str>(source))
        return false;
    const auto items = reinterpret_borrow<sequence>(source);
    if (items.size() != count)
        return false;
    for (std::size_t i = 0; i < count; ++i) {
        make_caster<double> number;
        if (!number.load(items[i], convert))
            return false;
        out[i] = cast_op<double>(number);
    }
    return true;
}

template <>
struct type_caster<geo::CdVec2> {
    PYBIND11_TYPE_CASTER(geo::CdVec2, const_name("tuple[float, float]"));

    bool load(handle source, bool convert)
    {
        double xy[2];
        if (!LoadFloats(source, convert, xy, 2))
            return false;
        value = geo::CdVec2(xy[0], xy[1]);
        return true;
    }
    static handle cast(const geo::CdVec2& source, return_value_policy, handle)
    {
        return make_tuple(source.x, source.y).release();
    }
};

template <>
struct type_caster<geo::CdVec3> {
    PYBIND11_TYPE_CASTER(geo::CdVec3, const_name("tuple[float, float, float]"));

    bool load(handle source, bool convert)
    {
        double xyz[3];
        if (!LoadFloats(source, convert, xyz, 3))
            return false;
        value = geo::CdVec3(xyz[0], xyz[1], xyz[2]);
        return true;
    }
    static handle cast(const geo::CdVec3& source, return_value_policy, handle)
    {
        return make_tuple(source.x, source.y, source.z).release();
    }
};

template <class T>
struct type_caster<utl::TUnitValue<T>> {
    PYBIND11_TYPE_CASTER(utl::TUnitValue<T>, const_name("tuple[") + make_caster<T>::name + const_name(", str]"));

    bool load(handle source, bool convert)
    {
        make_caster<T> bare;
        // A pair (value, unit) first: a bare vector is a sequence as well.
        const bool isPair = isinstance<tuple>(source) && reinterpret_borrow<tuple>(source).size() == 2 &&
                            isinstance<str>(reinterpret_borrow<tuple>(source)[1]);
        if (isPair) {
            const auto pair = reinterpret_borrow<tuple>(source);
            const auto unit = utl::CUnit::FromSymbol(pair[1].cast<std::string>());
            if (!unit || !bare.load(pair[0], convert))
                return false;
            value = utl::TUnitValue<T>(cast_op<T>(bare), *unit);
            return true;
        }
        if (!bare.load(source, convert))
            return false;
        value = utl::TUnitValue<T>(cast_op<T>(bare), utl::c_mum);
        return true;
    }
    static handle cast(const utl::TUnitValue<T>& source, return_value_policy policy, handle parent)
    {
        object number = reinterpret_steal<object>(make_caster<T>::cast(source.GetValue(), policy, parent));
        return make_tuple(number, source.GetUnit().GetSymbol()).release();
    }
};

} // namespace detail
} // namespace pybind11
