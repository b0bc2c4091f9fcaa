#pragma once

#include <optional>
#include <string>
#include <vector>

#include <mem/CBin.h>

namespace utl {

// Where a property is kept: in a stage's own set, in each axis's set, or either (a property
// registered without saying).
enum class EPropertyScope { Any, Stage, Axis };

// A property's declaration: the name bound to its ID and registered type code, and what a person
// needs to set it. Everything after `type` is optional.
//
// The range (`minimum`, `maximum`, both inclusive) applies to number types, in `unit`. `allowed`
// lists the only values a setting may take, written as text (numbers as they are parsed, e.g.
// "9600"); it applies to text and number types. `defaultValue` (not empty: of `type`'s stored
// kind) is what a stage that never stored the property goes by; readers by name answer it for
// such a stage (stg::GetProperty does). A driver gives a default only for what every stage of
// every driver may answer, so in practice the library's own settings carry them.
struct tPropertyInfo {
    std::wstring name;
    int id = 0;
    int type = 0;
    EPropertyScope scope = EPropertyScope::Any;
    std::wstring unit; // of the stored number; empty: none
    std::optional<double> minimum;
    std::optional<double> maximum;
    std::vector<std::wstring> allowed;
    std::wstring description; // one line
    mem::CBin defaultValue;
};

// Binds `info.name` to `info.id` and `info.type` for the whole process, with the rest of the
// declaration. Registering the same name, ID and type again answers true; the declaration that
// came first stays, unless it had no description (a bare registration), which the new one then
// replaces. A name already bound to another ID, or an ID already bound to another name or type,
// is refused (false) and the earlier binding stays. Thread-safe.
bool RegisterProperty(const tPropertyInfo& info);
// The bare form: a name, ID and type, nothing declared.
bool RegisterProperty(const std::wstring& name, int id, int type);

std::optional<tPropertyInfo> FindProperty(int id);
std::optional<tPropertyInfo> FindProperty(const std::wstring& name);
// Every binding, in the order it was first registered.
std::vector<tPropertyInfo> RegisteredProperties();

// Whether `value` lies within what `info` declares: a number (int, int64 or double, with or
// without a unit) inside the range and, when `allowed` is given, equal to one of its entries; a
// text among `allowed`. Values of other kinds, and everything of a property that declares
// neither, pass. The library applies it to every write through stg::SetProperty.
bool IsDeclaredValue(const tPropertyInfo& info, const mem::CBin& value);
// The same for the property registered under `id`, checked under the registry's lock without
// copying its declaration; an unregistered ID declares nothing (true).
bool IsDeclaredValue(int id, const mem::CBin& value);

// What `info` allows, for a refusal: "0.001 .. 1000", "at least 1 ms", "one of table, user,
// none"; empty when it declares nothing.
std::wstring DeclaredValuesText(const tPropertyInfo& info);

} // namespace utl
