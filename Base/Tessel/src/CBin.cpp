#include <mem/CBin.h>

#include <stdexcept>
#include <variant>

namespace mem {

// Storage of a value that does not fit inline. Arrays are kept as 64-bit words so that every
// scalar type is suitably aligned in them.
struct CBin::Ext {
    std::variant<std::vector<std::uint64_t>, std::wstring, PropSetVector> data;
};

void CBin::ExtDeleter::operator()(Ext* ext) const noexcept { delete ext; }

std::size_t ElementSize(int typeCode) noexcept
{
    switch (typeCode) {
    case c_tInt:
        return sizeof(std::int32_t);
    case c_tInt64:
        return sizeof(std::int64_t);
    case c_tDouble:
        return sizeof(double);
    case c_tBool:
        return sizeof(bool);
    default:
        return 0;
    }
}

CBin::CBin(CBin&& other) noexcept
    : m_type(other.m_type), m_hasUnit(other.m_hasUnit), m_unit(other.m_unit), m_size(other.m_size),
      m_ext(std::move(other.m_ext))
{
    std::memcpy(m_inline, other.m_inline, sizeof(m_inline));
    other.InitEmpty();
}

CBin& CBin::operator=(CBin&& other) noexcept
{
    if (this != &other) {
        m_type = other.m_type;
        m_hasUnit = other.m_hasUnit;
        m_unit = other.m_unit;
        m_size = other.m_size;
        std::memcpy(m_inline, other.m_inline, sizeof(m_inline));
        m_ext = std::move(other.m_ext);
        other.InitEmpty();
    }
    return *this;
}

void CBin::CopyFrom(const CBin& other)
{
    // Copy the out-of-line block first: if that throws, *this is unchanged.
    std::unique_ptr<Ext, ExtDeleter> ext;
    if (other.m_ext)
        ext.reset(new Ext(*other.m_ext));
    m_ext = std::move(ext);
    m_type = other.m_type;
    m_hasUnit = other.m_hasUnit;
    m_unit = other.m_unit;
    m_size = other.m_size;
    std::memcpy(m_inline, other.m_inline, sizeof(m_inline));
}

void CBin::InitEmpty() noexcept
{
    m_type = c_tEmpty;
    m_hasUnit = false;
    m_unit = utl::CUnit();
    m_size = 0;
    m_ext.reset();
}

void* CBin::Reserve(int typeCode, std::size_t count)
{
    const std::size_t elementSize = ElementSize(typeCode);
    if (elementSize == 0)
        throw std::invalid_argument("mem::CBin::Reserve: not a scalar type code");
    if (count > (SIZE_MAX / 8) / elementSize)
        throw std::length_error("mem::CBin::Reserve: count too large");
    const std::size_t bytes = elementSize * count;
    std::unique_ptr<Ext, ExtDeleter> ext;
    if (bytes > sizeof(m_inline)) {
        ext.reset(new Ext{std::vector<std::uint64_t>((bytes + 7) / 8, 0)});
    }
    InitEmpty();
    m_type = typeCode;
    m_size = bytes;
    m_ext = std::move(ext);
    std::memset(m_inline, 0, sizeof(m_inline));
    if (m_ext)
        return std::get<std::vector<std::uint64_t>>(m_ext->data).data();
    return m_inline;
}

const void* CBin::privGetPtr() const noexcept
{
    if (m_size == 0)
        return nullptr;
    if (!m_ext)
        return m_inline;
    if (auto* words = std::get_if<std::vector<std::uint64_t>>(&m_ext->data))
        return words->data();
    if (auto* text = std::get_if<std::wstring>(&m_ext->data))
        return text->data();
    return std::get<PropSetVector>(m_ext->data).data();
}

void CBin::Store(const std::wstring& text)
{
    std::unique_ptr<Ext, ExtDeleter> ext(new Ext{text});
    InitEmpty();
    m_type = c_tWString;
    m_size = text.size() * sizeof(wchar_t);
    m_ext = std::move(ext);
}

void CBin::Store(const PropSetVector& sets)
{
    std::unique_ptr<Ext, ExtDeleter> ext(new Ext{sets});
    InitEmpty();
    m_type = c_tPropSets;
    m_size = sets.size() * sizeof(PropSetVector::value_type);
    m_ext = std::move(ext);
}

bool CBin::Restore(std::wstring& text) const
{
    if (m_type != c_tWString || !m_ext)
        return false;
    text = std::get<std::wstring>(m_ext->data);
    return true;
}

bool CBin::Restore(PropSetVector& sets) const
{
    if (m_type != c_tPropSets || !m_ext)
        return false;
    sets = std::get<PropSetVector>(m_ext->data);
    return true;
}

bool CBin::operator==(const CBin& other) const
{
    if (m_type != other.m_type || m_size != other.m_size || m_hasUnit != other.m_hasUnit ||
        (m_hasUnit && m_unit != other.m_unit))
        return false;
    if (m_type == c_tWString)
        return std::get<std::wstring>(m_ext->data) == std::get<std::wstring>(other.m_ext->data);
    if (m_type == c_tPropSets)
        return std::get<PropSetVector>(m_ext->data) == std::get<PropSetVector>(other.m_ext->data);
    return m_size == 0 || std::memcmp(privGetPtr(), other.privGetPtr(), m_size) == 0;
}

} // namespace mem
