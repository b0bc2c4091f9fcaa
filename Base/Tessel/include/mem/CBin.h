#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include <boost/shared_ptr.hpp>

#include <utl/CUnit.h>

namespace utl {
class CPropSet;
}

namespace mem {

// Type codes of a stored value. The scalar codes are fixed by the property tables; the codes of
// the two container kinds are this library's own.
enum ETypeCode : int {
    c_tEmpty = 0,         // present, but holds nothing
    c_tInt = 5,           // std::int32_t
    c_tInt64 = 7,         // std::int64_t
    c_tDouble = 10,       // double; with a unit attached a utl::TUnitValue<double>
    c_tBool = 12,         // bool, one byte
    c_tWString = 0x112,   // std::wstring, through Store/Restore
    c_tPropSets = 0x2004, // std::vector<boost::shared_ptr<utl::CPropSet>>, through Store/Restore
    // The registered type of a property holding a utl::TUnitValue<double>; its values are stored
    // as c_tDouble with a unit attached.
    c_tUnitDouble = 0x1000000A
};

using PropSetVector = std::vector<boost::shared_ptr<utl::CPropSet>>;

// The type code that a scalar C++ type is stored under.
template <class T>
struct TypeCodeOf;
template <>
struct TypeCodeOf<std::int32_t> {
    static constexpr int value = c_tInt;
};
template <>
struct TypeCodeOf<std::int64_t> {
    static constexpr int value = c_tInt64;
};
template <>
struct TypeCodeOf<double> {
    static constexpr int value = c_tDouble;
};
template <>
struct TypeCodeOf<bool> {
    static constexpr int value = c_tBool;
};

// Size in bytes of one element of a scalar type code; 0 for any other code.
std::size_t ElementSize(int typeCode) noexcept;

// One typed value: a type code, the stored bytes, and optionally a unit.
//
// Scalars (one element of up to 8 bytes) live inside the object, so copying such a value and
// reading it never touch the heap; wide strings, property-set vectors and arrays live in an
// out-of-line block that is copied deeply with the value.
//
// A value is "empty" when it holds no bytes: default-constructed, after InitEmpty(), or after a
// Store of an empty string or vector. An empty value stored in a property set is still present;
// IsEmpty() tells the two apart from an absent property.
class CBin {
public:
    CBin() noexcept = default;
    // Copies of a value without an out-of-line block (every scalar) are made here, inline: they
    // are what every property read makes.
    CBin(const CBin& other)
    {
        if (other.m_ext)
            CopyFrom(other);
        else
            CopyInline(other);
    }
    CBin(CBin&& other) noexcept;
    CBin& operator=(const CBin& other)
    {
        if (!other.m_ext && !m_ext)
            CopyInline(other);
        else if (this != &other)
            CopyFrom(other);
        return *this;
    }
    CBin& operator=(CBin&& other) noexcept;
    ~CBin() = default;

    // Forgets the value and its unit: type c_tEmpty, no bytes.
    void InitEmpty() noexcept;

    // Sets the type and returns zeroed storage for `count` elements that the caller fills. Only
    // the scalar codes (5, 7, 10, 12) can be reserved; any other code throws std::invalid_argument.
    // Drops an attached unit. The storage stays valid until the value is next changed.
    void* Reserve(int typeCode, std::size_t count);

    // The stored bytes (GetSize() of them), or nullptr when the value holds none.
    const void* privGetPtr() const noexcept;
    std::size_t GetSize() const noexcept { return m_size; }
    int GetTypeCode() const noexcept { return m_type; }
    bool IsEmpty() const noexcept { return m_size == 0; }

    // Attaches a unit to the value (kept until the next InitEmpty, Reserve or Store).
    void SetUnit(const utl::CUnit& unit) noexcept
    {
        m_unit = unit;
        m_hasUnit = true;
    }
    // Writes the attached unit into `unit` and answers true; without one, writes the null unit
    // and answers false.
    bool GetUnit(utl::CUnit& unit) const noexcept
    {
        unit = m_hasUnit ? m_unit : utl::CUnit();
        return m_hasUnit;
    }
    bool HasUnit() const noexcept { return m_hasUnit; }

    void Store(const std::wstring& text);
    void Store(const PropSetVector& sets);
    // Answer true and fill the output only when the value holds that kind (an empty value of
    // that kind restores as an empty string or vector); otherwise leave it untouched.
    bool Restore(std::wstring& text) const;
    bool Restore(PropSetVector& sets) const;

    // Typed scalar write: InitEmpty, Reserve(TypeCodeOf<T>, 1) and the value's bytes.
    template <class T>
    void Set(const T& value)
    {
        std::memcpy(Reserve(TypeCodeOf<T>::value, 1), &value, sizeof(T));
    }
    // Typed scalar read. Answers true and fills `value` only when the stored type code is T's and
    // at least one element is stored; a value of another type (an int read as double, a string
    // read as bool, an empty value) answers false and leaves `value` untouched. Never reads past
    // the stored bytes and never allocates.
    template <class T>
    bool Get(T& value) const noexcept
    {
        if (m_type != TypeCodeOf<T>::value || m_size < sizeof(T))
            return false;
        std::memcpy(&value, m_ext ? privGetPtr() : m_inline, sizeof(T));
        return true;
    }
    template <class T>
    static CBin Of(const T& value)
    {
        CBin bin;
        bin.Set(value);
        return bin;
    }

    // Same type, bytes, unit and (for property-set vectors) the same shared sets.
    bool operator==(const CBin& other) const;
    bool operator!=(const CBin& other) const { return !(*this == other); }

private:
    struct Ext;
    struct ExtDeleter {
        void operator()(Ext* ext) const noexcept;
    };
    void CopyFrom(const CBin& other);
    // Expects neither value to have an out-of-line block.
    void CopyInline(const CBin& other) noexcept
    {
        m_type = other.m_type;
        m_hasUnit = other.m_hasUnit;
        m_unit = other.m_unit;
        m_size = other.m_size;
        std::memcpy(m_inline, other.m_inline, sizeof(m_inline));
    }

    int m_type = c_tEmpty;
    bool m_hasUnit = false;
    utl::CUnit m_unit;
    std::size_t m_size = 0; // bytes of the value
    alignas(8) unsigned char m_inline[8] = {};
    std::unique_ptr<Ext, ExtDeleter> m_ext; // only for values that do not fit inline
};

} // namespace mem
