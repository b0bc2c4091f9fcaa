#include <plinth/driver/ResultCodes.h>

namespace stg {
namespace {

struct tCodeText {
    int code;
    const char* name;
    const char* meaning;
};

constexpr tCodeText c_texts[] = {
    {c_OK, "OK", "success"},
    {c_GeneralFailure, "GeneralFailure", "general failure"},
    {c_NoSuchAxis, "NoSuchAxis", "the stage has no axis of that number"},
    {c_NotImplemented, "NotImplemented", "the driver does not implement the operation"},
    {c_LimitsNotDefined, "LimitsNotDefined", "the axis limits are not defined"},
    {c_Busy, "Busy", "an earlier move of the stage is still running"},
    {c_Timeout, "Timeout", "the axes were still moving when the time ran out"},
    {c_AxisDisabled, "AxisDisabled", "the axis is disabled"},
    {c_NoSuchStage, "NoSuchStage", "no active stage has that ID"},
    {c_EscapeCounted, "EscapeCounted", "Z escape state only counted"},
    {c_NoEscapeToReturn, "NoEscapeToReturn", "no Z escape to return from"},
    {c_PropertyNotAccessible, "PropertyNotAccessible", "the property is not set or may not be accessed this way"},
    {c_EscapeNotPermitted, "EscapeNotPermitted", "the Z axis does not allow escape"},
    {c_TargetOutOfRange, "TargetOutOfRange", "the target lies outside the axis limits"},
    {c_InvalidValue, "InvalidValue",
     "the value is not finite, not a valid limit, calibration or speed, or outside what the setting allows"},
    {c_Stopped, "Stopped", "the move was ended early by a stop"},
};

const tCodeText* Find(int code) noexcept
{
    for (const auto& text : c_texts)
        if (text.code == code)
            return &text;
    return nullptr;
}

} // namespace

const char* ResultCodeName(int code) noexcept
{
    const tCodeText* text = Find(code);
    return text ? text->name : "Unknown";
}

const char* ResultCodeMeaning(int code) noexcept
{
    const tCodeText* text = Find(code);
    return text ? text->meaning : "unknown result code";
}

} // namespace stg
