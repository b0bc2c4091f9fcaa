#include <utl/PropertyRegistry.h>

#include <cmath>
#include <cwchar>
#include <map>
#include <mutex>
#include <sstream>

namespace utl {
namespace {

struct tRegistry {
    std::mutex mutex;
    std::vector<tPropertyInfo> inOrder;
    std::map<int, std::size_t> byID;
    std::map<std::wstring, std::size_t> byName;
};

tRegistry& Registry()
{
    static tRegistry registry;
    return registry;
}

// The stored number of `value` as a double; nothing for a value that holds no number.
std::optional<double> NumberOf(const mem::CBin& value)
{
    double real = 0.0;
    std::int32_t whole = 0;
    std::int64_t wide = 0;
    if (value.Get(real))
        return real;
    if (value.Get(whole))
        return static_cast<double>(whole);
    if (value.Get(wide))
        return static_cast<double>(wide);
    return std::nullopt;
}

// An entry of `allowed` read as a number; nothing when it is not one as a whole.
std::optional<double> NumberOf(const std::wstring& text)
{
    wchar_t* end = nullptr;
    const double number = std::wcstod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size())
        return std::nullopt;
    return number;
}

std::wstring NumberText(double number)
{
    std::wostringstream out;
    out << number;
    return out.str();
}

} // namespace

bool RegisterProperty(const tPropertyInfo& info)
{
    tRegistry& r = Registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto byID = r.byID.find(info.id);
    auto byName = r.byName.find(info.name);
    if (byID != r.byID.end() || byName != r.byName.end()) {
        // Only an exact repetition of an existing binding is accepted.
        if (byID == r.byID.end() || byName == r.byName.end() || byID->second != byName->second)
            return false;
        tPropertyInfo& known = r.inOrder[byID->second];
        if (known.type != info.type)
            return false;
        if (known.description.empty() && !info.description.empty())
            known = info;
        return true;
    }
    r.inOrder.push_back(info);
    r.byID[info.id] = r.inOrder.size() - 1;
    r.byName[info.name] = r.inOrder.size() - 1;
    return true;
}

bool RegisterProperty(const std::wstring& name, int id, int type)
{
    tPropertyInfo info;
    info.name = name;
    info.id = id;
    info.type = type;
    return RegisterProperty(info);
}

std::optional<tPropertyInfo> FindProperty(int id)
{
    tRegistry& r = Registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.byID.find(id);
    if (it == r.byID.end())
        return std::nullopt;
    return r.inOrder[it->second];
}

std::optional<tPropertyInfo> FindProperty(const std::wstring& name)
{
    tRegistry& r = Registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.byName.find(name);
    if (it == r.byName.end())
        return std::nullopt;
    return r.inOrder[it->second];
}

std::vector<tPropertyInfo> RegisteredProperties()
{
    tRegistry& r = Registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.inOrder;
}

bool IsDeclaredValue(const tPropertyInfo& info, const mem::CBin& value)
{
    if (const auto number = NumberOf(value)) {
        if ((info.minimum && !(*number >= *info.minimum)) || (info.maximum && !(*number <= *info.maximum)))
            return false;
        if (info.allowed.empty())
            return true;
        for (const auto& entry : info.allowed)
            if (NumberOf(entry) == number)
                return true;
        return false;
    }
    std::wstring text;
    if (info.allowed.empty() || !value.Restore(text))
        return true;
    for (const auto& entry : info.allowed)
        if (entry == text)
            return true;
    return false;
}

bool IsDeclaredValue(int id, const mem::CBin& value)
{
    tRegistry& r = Registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.byID.find(id);
    return it == r.byID.end() || IsDeclaredValue(r.inOrder[it->second], value);
}

std::wstring DeclaredValuesText(const tPropertyInfo& info)
{
    const std::wstring unit = info.unit.empty() ? L"" : L" " + info.unit;
    std::wstring text;
    if (!info.allowed.empty()) {
        text = L"one of ";
        for (std::size_t i = 0; i < info.allowed.size(); ++i)
            text += (i ? L", " : L"") + (info.allowed[i].empty() ? L"\"\"" : info.allowed[i]);
        return text + (NumberOf(info.allowed.front()) ? unit : L"");
    }
    if (info.minimum && info.maximum)
        return NumberText(*info.minimum) + L" .. " + NumberText(*info.maximum) + unit;
    if (info.minimum)
        return L"at least " + NumberText(*info.minimum) + unit;
    if (info.maximum)
        return L"at most " + NumberText(*info.maximum) + unit;
    return text;
}

} // namespace utl
