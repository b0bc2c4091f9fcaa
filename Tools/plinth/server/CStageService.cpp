#include "CStageService.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <type_traits>

#include <cfg/GlobalPropSets.h>
#include <plinth/Plinth.h>
#include <utl/PropertyRegistry.h>

#include "CStageSession.h"
#include "ServerAddress.h"

namespace plinthcli {

namespace pb = plinth::v1;
using grpc::ServerContext;
using grpc::Status;

namespace {

using grpc::StatusCode;
using Position = utl::TUnitValue<double>;

// How often a blocking move's wait looks whether its client is still there.
constexpr std::chrono::milliseconds c_cancelCheck{100};

Status Invalid(const std::string& message) { return {StatusCode::INVALID_ARGUMENT, message}; }

// The library answered `code` to `what`.
Status Failed(ServerContext* context, const std::string& what, int code)
{
    context->AddTrailingMetadata("plinth-result", std::to_string(code));
    const std::string message =
        what + ": " + stg::ResultCodeName(code) + " (" + std::to_string(code) + "): " + stg::ResultCodeMeaning(code);
    switch (code) {
    case stg::c_Stopped:
        return {StatusCode::ABORTED, message};
    case stg::c_Timeout:
        return {StatusCode::DEADLINE_EXCEEDED, message};
    case stg::c_InvalidValue:
        return {StatusCode::INVALID_ARGUMENT, message};
    default:
        return {StatusCode::FAILED_PRECONDITION, message};
    }
}

double Micrometres(const Position& value)
{
    try {
        return value.In(utl::c_mum).GetValue();
    } catch (const std::exception&) {
        return value.GetValue(); // not a length: as it is
    }
}

Position FromMicrometres(double value) { return Position(value, utl::c_mum); }

const char* TypeLetter(stg::EAxisType type)
{
    return type == stg::eAxisX ? "X" : type == stg::eAxisY ? "Y" : type == stg::eAxisZ ? "Z" : "-";
}

std::string Narrow(const std::wstring& text)
{
    std::string narrow(text.size() * 4 + 1, '\0');
    const std::size_t length = std::wcstombs(narrow.data(), text.c_str(), narrow.size());
    if (length == static_cast<std::size_t>(-1))
        return "?";
    narrow.resize(length);
    return narrow;
}

std::wstring Widen(const std::string& text)
{
    std::wstring wide(text.size(), L'\0');
    const std::size_t length = std::mbstowcs(wide.data(), text.c_str(), wide.size());
    if (length == static_cast<std::size_t>(-1))
        return L"";
    wide.resize(length);
    return wide;
}

// What a reply carries of a value: micrometres of a length, a plain number as it is.
double Number(const Position& value) { return Micrometres(value); }
double Number(double value) { return value; }

// A request's number: a length in micrometres, or a plain number.
template <class T>
T FromNumber(double value)
{
    if constexpr (std::is_same_v<T, Position>)
        return FromMicrometres(value);
    else
        return value;
}

// The axis values of a reply, labelled as the stage names its axes.
template <class T, class Label>
void AddValues(const std::map<int, T>& values, google::protobuf::RepeatedPtrField<pb::AxisValue>* out,
               const Label& label)
{
    for (const auto& [axis, number] : values) {
        auto* value = out->Add();
        value->set_axis(label(axis));
        value->set_value(Number(number));
    }
}

// The status of a call whose only failure is the library's answer `code` to `what`.
Status Outcome(ServerContext* context, const std::string& what, int code)
{
    return code == stg::c_OK ? Status::OK : Failed(context, what, code);
}

// The per-axis settings that a client reads and writes as a whole (every value > 0): what errors
// call them, how the library reads every axis's and writes the given ones.
struct tCalibration {
    using Value = Position;
    static constexpr const char* c_name = "the calibration";
    static int Read(std::uint32_t id, std::map<int, Value>& values)
    {
        return stg::GetCalibration(id, values, stg::eAllAxes);
    }
    static int Write(std::uint32_t id, const std::map<int, Value>& values) { return stg::SetCalibration(id, values); }
};
struct tSpeeds {
    using Value = double;
    static constexpr const char* c_name = "the speed";
    static int Read(std::uint32_t id, std::map<int, Value>& values)
    {
        return stg::GetSpeeds(id, values, stg::eAllAxes);
    }
    static int Write(std::uint32_t id, const std::map<int, Value>& values) { return stg::SetSpeeds(id, values); }
};

// Calls `use` with a value of the C++ type that carries properties of the registered `type`;
// false when the server carries no such type.
template <class Use>
bool WithValueOf(int type, Use&& use)
{
    switch (type) {
    case mem::c_tInt:
        return use(int{}), true;
    case mem::c_tInt64:
        return use(std::int64_t{}), true;
    case mem::c_tDouble:
        return use(double{}), true;
    case mem::c_tBool:
        return use(bool{}), true;
    case mem::c_tUnitDouble:
        return use(Position()), true;
    case mem::c_tWString:
        return use(std::wstring()), true;
    default:
        return false;
    }
}

void Put(pb::PropertyValue* reply, int value) { reply->set_int_value(value); }
void Put(pb::PropertyValue* reply, std::int64_t value) { reply->set_int_value(value); }
void Put(pb::PropertyValue* reply, double value) { reply->set_double_value(value); }
void Put(pb::PropertyValue* reply, bool value) { reply->set_bool_value(value); }
void Put(pb::PropertyValue* reply, const std::wstring& value) { reply->set_text_value(Narrow(value)); }
void Put(pb::PropertyValue* reply, const Position& value)
{
    reply->mutable_quantity_value()->set_value(value.GetValue());
    reply->mutable_quantity_value()->set_unit(value.GetUnit().GetSymbol());
}

// Takes a written value of the property's own type: false when the request gives another type, a
// number out of its range or one that is not finite (a unit that is not known, too).
using Given = pb::PropertyValue;
bool Take(const Given& given, int& value)
{
    if (given.value_case() != Given::kIntValue || given.int_value() < INT32_MIN || given.int_value() > INT32_MAX)
        return false;
    value = static_cast<int>(given.int_value());
    return true;
}
bool Take(const Given& given, std::int64_t& value)
{
    value = given.int_value();
    return given.value_case() == Given::kIntValue;
}
bool Take(const Given& given, double& value)
{
    value = given.double_value();
    return given.value_case() == Given::kDoubleValue && std::isfinite(value);
}
bool Take(const Given& given, bool& value)
{
    value = given.bool_value();
    return given.value_case() == Given::kBoolValue;
}
bool Take(const Given& given, Position& value)
{
    const auto unit = utl::CUnit::FromSymbol(given.quantity_value().unit());
    if (given.value_case() != Given::kQuantityValue || !std::isfinite(given.quantity_value().value()) || !unit)
        return false;
    value = Position(given.quantity_value().value(), *unit);
    return true;
}
// Text settings name ports, paths and the like: only the server's own command line chooses what
// it opens, so none is written through the server.
bool Take(const Given& /*given*/, std::wstring& /*value*/) { return false; }

} // namespace

CStageService::CStageService(std::map<std::uint32_t, std::string> drivers, std::string token, CEventHub& hub)
    : m_drivers(std::move(drivers)), m_token(std::move(token)), m_hub(hub)
{
}

template <class Body>
Status CStageService::Serve(ServerContext* context, const char* method, Body&& body)
{
    Status status;
    if (!m_token.empty()) {
        const auto& metadata = context->client_metadata();
        const auto found = metadata.find("authorization");
        const std::string given =
            found != metadata.end() ? std::string(found->second.data(), found->second.size()) : "";
        if (!TokensEqual(given, "Bearer " + m_token))
            status = Status(StatusCode::UNAUTHENTICATED, "this server needs the token (--token-file)");
    }
    if (status.ok()) {
        try {
            status = body();
        } catch (const std::exception& error) {
            status = Status(StatusCode::INTERNAL, error.what());
        }
    }
    if (!status.ok() && status.error_code() != StatusCode::CANCELLED)
        std::fprintf(stderr, "plinth serve: %s from %s failed: %s\n", method, context->peer().c_str(),
                     status.error_message().c_str());
    return status;
}

template <class Body>
Status CStageService::ServeStage(ServerContext* context, const char* method, std::uint32_t stageID, Body&& body)
{
    return Serve(context, method, [&] {
        if (Status status = CheckStage(stageID); !status.ok())
            return status;
        return body();
    });
}

Status CStageService::CheckStage(std::uint32_t stageID) const
{
    if (m_drivers.count(stageID) == 0)
        return {StatusCode::NOT_FOUND, "this server has no stage " + std::to_string(stageID)};
    if (!stg::CheckConnection(stageID) && stg::GetAxisCount(stageID) <= 0)
        return {StatusCode::UNAVAILABLE, "stage " + std::to_string(stageID) + " is not active"};
    return Status::OK;
}

Status CStageService::ResolveAxis(std::uint32_t stageID, const std::string& text, int& axis) const
{
    axis = -1;
    if (text == "X" || text == "x")
        axis = stg::GetAxisFromType(stageID, stg::eAxisX);
    else if (text == "Y" || text == "y")
        axis = stg::GetAxisFromType(stageID, stg::eAxisY);
    else if (text == "Z" || text == "z")
        axis = stg::GetAxisFromType(stageID, stg::eAxisZ);
    else if (!text.empty() && text.size() < 10 && text.find_first_not_of("0123456789") == std::string::npos)
        axis = std::stoi(text);
    const auto axes = stg::GetAxisList(stageID);
    if (axis < 0 || std::find(axes.begin(), axes.end(), axis) == axes.end())
        return Invalid("stage " + std::to_string(stageID) + " has no axis \"" + text.substr(0, 32) + "\"");
    return Status::OK;
}

Status CStageService::ResolveAxes(std::uint32_t stageID, const google::protobuf::RepeatedPtrField<std::string>& texts,
                                  std::vector<int>& axes) const
{
    axes.clear();
    for (const auto& text : texts) {
        int axis = -1;
        if (Status status = ResolveAxis(stageID, text, axis); !status.ok())
            return status;
        axes.push_back(axis);
    }
    if (axes.empty())
        axes = stg::GetAxisList(stageID);
    return Status::OK;
}

template <class T>
Status CStageService::ReadValues(std::uint32_t stageID, const google::protobuf::RepeatedPtrField<pb::AxisValue>& given,
                                 const char* what, bool positive, std::map<int, T>& values) const
{
    for (const auto& entry : given) {
        int axis = -1;
        if (Status status = ResolveAxis(stageID, entry.axis(), axis); !status.ok())
            return status;
        if (!std::isfinite(entry.value()) || (positive && entry.value() <= 0.0))
            return Invalid(std::string(what) + " of axis " + entry.axis() + " is not a " +
                           (positive ? "positive " : "") + "finite number");
        if (!values.emplace(axis, FromNumber<T>(entry.value())).second)
            return Invalid("axis " + entry.axis() + " is given twice");
    }
    if (values.empty())
        return Invalid(std::string(what) + " of at least one axis is needed");
    return Status::OK;
}

Status CStageService::ResolveProperty(std::uint32_t stageID, const pb::PropertyRequest& request,
                                      utl::tPropertyInfo& info, int& axis) const
{
    const auto found = utl::FindProperty(Widen(request.name()));
    if (!found)
        return {StatusCode::NOT_FOUND, "no property is registered as \"" + request.name().substr(0, 64) + "\""};
    info = *found;
    axis = -1;
    return request.axis().empty() ? Status::OK : ResolveAxis(stageID, request.axis(), axis);
}

bool CStageService::ReadProperty(std::uint32_t stageID, int axis, const utl::tPropertyInfo& info,
                                 pb::PropertyValue* value, int& rc)
{
    rc = stg::c_OK;
    return WithValueOf(info.type, [&](auto read) {
        rc = axis < 0 ? stg::GetProperty(stageID, info.id, read) : stg::GetProperty(stageID, axis, info.id, read);
        if (rc == stg::c_OK)
            Put(value, read);
    });
}

std::string CStageService::Label(std::uint32_t stageID, int axis) const
{
    const stg::EAxisType type = stg::GetAxisType(stageID, axis);
    if (type != stg::eAxisNone && stg::GetAxisFromType(stageID, type) == axis)
        return TypeLetter(type);
    return std::to_string(axis);
}

Status CStageService::ListStages(ServerContext* context, const pb::ListStagesRequest* /*request*/,
                                 pb::ListStagesReply* reply)
{
    return Serve(context, "ListStages", [&] {
        for (const auto& [id, driver] : m_drivers) {
            pb::StageRequest one;
            one.set_stage_id(id);
            GetInfo(context, &one, reply->add_stages());
        }
        return Status::OK;
    });
}

Status CStageService::GetInfo(ServerContext* context, const pb::StageRequest* request, pb::StageInfo* reply)
{
    return Serve(context, "GetInfo", [&] {
        const std::uint32_t id = request->stage_id();
        if (m_drivers.count(id) == 0)
            return Status(StatusCode::NOT_FOUND, "this server has no stage " + std::to_string(id));
        reply->set_stage_id(id);
        reply->set_driver(m_drivers.at(id));
        reply->set_connected(stg::CheckConnection(id));
        for (int axis : stg::GetAxisList(id))
            reply->add_axes(Label(id, axis));
        reply->set_limits_defined(stg::AreLimitsDefined(id));
        reply->set_precision(stg::IsPrecisionEnabled(id));
        reply->set_user_control(stg::IsUserControlEnabled(id));
        reply->set_driver_message(DriverMessage(id));
        reply->set_server_version(PLINTH_VERSION);
        return Status::OK;
    });
}

Status CStageService::GetAxes(ServerContext* context, const pb::StageRequest* request, pb::AxesReply* reply)
{
    const std::uint32_t id = request->stage_id();
    return ServeStage(context, "GetAxes", id, [&] {
        for (int axis : stg::GetAxisList(id)) {
            auto* info = reply->add_axes();
            info->set_axis(Label(id, axis));
            info->set_number(axis);
            info->set_type(TypeLetter(stg::GetAxisType(id, axis)));
            info->set_enabled(stg::IsAxisEnabled(id, axis));
            Position calibration, minimum, maximum, position;
            if (stg::GetCalibration(id, axis, calibration) == stg::c_OK)
                info->set_calibration_um(Micrometres(calibration));
            if (stg::AreLimitsDefined(id, axis) && stg::GetAxisLimits(id, axis, minimum, maximum) == stg::c_OK) {
                info->set_limits_defined(true);
                info->set_minimum_um(Micrometres(minimum));
                info->set_maximum_um(Micrometres(maximum));
            }
            double speed = 0.0;
            if (stg::GetAxisSpeed(id, axis, speed) == stg::c_OK)
                info->set_speed(speed);
            const int rc = info->enabled() ? stg::GetPosition(id, axis, position) : stg::c_AxisDisabled;
            info->set_position_result(rc);
            info->set_position_known(rc == stg::c_OK);
            if (rc == stg::c_OK)
                info->set_position_um(Micrometres(position));
        }
        return Status::OK;
    });
}

Status CStageService::GetPositions(ServerContext* context, const pb::StageRequest* request, pb::PositionsReply* reply)
{
    const std::uint32_t id = request->stage_id();
    return ServeStage(context, "GetPositions", id, [&] {
        std::map<int, Position> positions;
        std::vector<int> enabled;
        int rc = stg::GetEnabledAxes(id, enabled);
        for (int axis : enabled)
            positions[axis] = Position();
        if (rc == stg::c_OK)
            rc = stg::GetPosition(id, positions, stg::eGivenAxes);
        AddValues(positions, reply->mutable_positions_um(), [&](int axis) { return Label(id, axis); });
        return Outcome(context, "reading the positions", rc);
    });
}

int CStageService::AwaitMoveEnd(ServerContext* context, const std::shared_ptr<CEventHub::tSubscriber>& events) const
{
    bool started = false;
    pb::Event event;
    while (!m_stopping) {
        if (context->IsCancelled() || std::chrono::system_clock::now() > context->deadline())
            return stg::c_Timeout;
        if (!CEventHub::Next(*events, event, c_cancelCheck))
            continue;
        if (event.kind() == pb::Event::MOVE_STARTED)
            started = true;
        else if (started && event.kind() == pb::Event::MOVE_FINISHED)
            return event.result();
    }
    return stg::c_Stopped;
}

Status CStageService::Move(ServerContext* context, const pb::MoveRequest* request, pb::MoveReply* reply)
{
    const std::uint32_t id = request->stage_id();
    return ServeStage(context, "Move", id, [&] {
        std::map<int, Position> targets;
        if (Status status = ReadValues(id, request->targets_um(), "the target", false, targets); !status.ok())
            return status;
        // A blocking move is a started move and a wait for its "finished" event, so that its
        // client sees samples and other clients reach the stage meanwhile. A client that goes away
        // leaves the move going.
        const auto events = request->wait() ? m_hub.Add(id) : nullptr;
        int rc = stg::MoveTo(id, targets, false);
        if (rc == stg::c_OK && events)
            rc = AwaitMoveEnd(context, events);
        if (events)
            m_hub.Remove(events);
        reply->set_result(rc);
        if (rc != stg::c_OK)
            return Failed(context, "the move", rc);
        std::map<int, Position> positions;
        for (const auto& target : targets)
            if (stg::GetPosition(id, target.first, positions[target.first]) != stg::c_OK)
                positions.erase(target.first);
        AddValues(positions, reply->mutable_positions_um(), [&](int axis) { return Label(id, axis); });
        return Status::OK;
    });
}

Status CStageService::WaitForStop(ServerContext* context, const pb::WaitRequest* request, pb::MoveReply* reply)
{
    const std::uint32_t id = request->stage_id();
    return ServeStage(context, "WaitForStop", id, [&] {
        // Short waits, so that the stage lock is free between them for the other clients.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(request->timeout_ms());
        const auto axes = stg::GetAxisList(id);
        int rc = stg::c_OK;
        while (!m_stopping && !context->IsCancelled()) {
            rc = stg::WaitForStop(id, axes, 20);
            if (rc != stg::c_Timeout || std::chrono::steady_clock::now() >= deadline)
                break;
        }
        reply->set_result(rc);
        return Outcome(context, "waiting for the stop", rc);
    });
}

Status CStageService::FreeRun(ServerContext* context, const pb::FreeRunRequest* request, pb::Empty* /*reply*/)
{
    const std::uint32_t id = request->stage_id();
    return ServeStage(context, "FreeRun", id, [&] {
        std::map<int, double> speeds;
        if (Status status = ReadValues(id, request->speeds(), "the speed", false, speeds); !status.ok())
            return status;
        return Outcome(context, "the free run", stg::MoveFree(id, speeds));
    });
}

Status CStageService::Stop(ServerContext* context, const pb::StageRequest* request, pb::Empty* /*reply*/)
{
    const std::uint32_t id = request->stage_id();
    return ServeStage(context, "Stop", id, [&] { return Outcome(context, "the stop", stg::StopMoving(id)); });
}

Status CStageService::FillLimits(std::uint32_t stageID, pb::LimitsReply* reply) const
{
    for (int axis : stg::GetAxisList(stageID)) {
        auto* limits = reply->add_limits();
        limits->set_axis(Label(stageID, axis));
        Position minimum, maximum;
        if (stg::AreLimitsDefined(stageID, axis) && stg::GetAxisLimits(stageID, axis, minimum, maximum) == stg::c_OK) {
            limits->set_defined(true);
            limits->set_minimum_um(Micrometres(minimum));
            limits->set_maximum_um(Micrometres(maximum));
        }
    }
    return Status::OK;
}

Status CStageService::GetLimits(ServerContext* context, const pb::StageRequest* request, pb::LimitsReply* reply)
{
    const std::uint32_t id = request->stage_id();
    return ServeStage(context, "GetLimits", id, [&] { return FillLimits(id, reply); });
}

Status CStageService::SetLimits(ServerContext* context, const pb::SetLimitsRequest* request, pb::LimitsReply* reply)
{
    const std::uint32_t id = request->stage_id();
    return ServeStage(context, "SetLimits", id, [&] {
        std::vector<std::pair<int, std::pair<double, double>>> ranges;
        for (const auto& limits : request->limits()) {
            int axis = -1;
            if (Status status = ResolveAxis(id, limits.axis(), axis); !status.ok())
                return status;
            if (!std::isfinite(limits.minimum_um()) || !std::isfinite(limits.maximum_um()) ||
                limits.minimum_um() > limits.maximum_um())
                return Invalid("the limits of axis " + limits.axis() + " are not a finite range");
            ranges.push_back({axis, {limits.minimum_um(), limits.maximum_um()}});
        }
        for (const auto& [axis, range] : ranges)
            if (const int rc =
                    stg::SetAxisLimits(id, axis, FromMicrometres(range.first), FromMicrometres(range.second));
                rc != stg::c_OK)
                return Failed(context, "setting the limits", rc);
        return FillLimits(id, reply);
    });
}

Status CStageService::ClearLimits(ServerContext* context, const pb::AxesRequest* request, pb::LimitsReply* reply)
{
    const std::uint32_t id = request->stage_id();
    return ServeStage(context, "ClearLimits", id, [&] {
        std::vector<int> axes;
        if (Status status = ResolveAxes(id, request->axes(), axes); !status.ok())
            return status;
        const int rc = stg::UndefineLimits(id, axes);
        return rc == stg::c_OK ? FillLimits(id, reply) : Failed(context, "forgetting the limits", rc);
    });
}

Status CStageService::FindLimits(ServerContext* context, const pb::AxesRequest* request, pb::LimitsReply* reply)
{
    const std::uint32_t id = request->stage_id();
    return ServeStage(context, "FindLimits", id, [&] {
        std::vector<int> axes;
        if (Status status = ResolveAxes(id, request->axes(), axes); !status.ok())
            return status;
        const auto held = stg::CStageManager::StageManager().Acquire(id);
        const int rc = held ? held->GetMediumLevel().InitRanges(axes) : stg::c_NoSuchStage;
        return rc == stg::c_OK ? FillLimits(id, reply) : Failed(context, "the range search", rc);
    });
}

template <class Setting>
Status CStageService::AxisSetting(ServerContext* context, const char* method, std::uint32_t id,
                                  const google::protobuf::RepeatedPtrField<pb::AxisValue>* given, pb::AxisValues* reply)
{
    return ServeStage(context, method, id, [&] {
        std::map<int, typename Setting::Value> values;
        if (given) {
            if (Status status = ReadValues(id, *given, Setting::c_name, true, values); !status.ok())
                return status;
            if (const int rc = Setting::Write(id, values); rc != stg::c_OK)
                return Failed(context, std::string("setting ") + Setting::c_name, rc);
            values.clear();
        }
        const int rc = Setting::Read(id, values);
        AddValues(values, reply->mutable_values(), [&](int axis) { return Label(id, axis); });
        return Outcome(context, std::string("reading ") + Setting::c_name, rc);
    });
}

Status CStageService::GetCalibration(ServerContext* context, const pb::StageRequest* request, pb::AxisValues* reply)
{
    return AxisSetting<tCalibration>(context, "GetCalibration", request->stage_id(), nullptr, reply);
}

Status CStageService::SetCalibration(ServerContext* context, const pb::AxisValuesRequest* request,
                                     pb::AxisValues* reply)
{
    return AxisSetting<tCalibration>(context, "SetCalibration", request->stage_id(), &request->values(), reply);
}

Status CStageService::GetSpeeds(ServerContext* context, const pb::StageRequest* request, pb::AxisValues* reply)
{
    return AxisSetting<tSpeeds>(context, "GetSpeeds", request->stage_id(), nullptr, reply);
}

Status CStageService::SetSpeeds(ServerContext* context, const pb::AxisValuesRequest* request, pb::AxisValues* reply)
{
    return AxisSetting<tSpeeds>(context, "SetSpeeds", request->stage_id(), &request->values(), reply);
}

Status CStageService::GetProperty(ServerContext* context, const pb::PropertyRequest* request, pb::PropertyValue* reply)
{
    const std::uint32_t id = request->stage_id();
    return ServeStage(context, "GetProperty", id, [&] {
        utl::tPropertyInfo info;
        int axis = -1;
        if (Status status = ResolveProperty(id, *request, info, axis); !status.ok())
            return status;
        int rc = stg::c_OK;
        if (!ReadProperty(id, axis, info, reply, rc))
            return Invalid("property " + request->name() + " has a type the server does not carry");
        return Outcome(context, "reading " + request->name(), rc);
    });
}

Status CStageService::SetProperty(ServerContext* context, const pb::PropertyRequest* request, pb::PropertyValue* reply)
{
    const std::uint32_t id = request->stage_id();
    Status written = ServeStage(context, "SetProperty", id, [&] {
        utl::tPropertyInfo info;
        int axis = -1;
        if (Status status = ResolveProperty(id, *request, info, axis); !status.ok())
            return status;
        if (info.type == mem::c_tWString)
            return Status(StatusCode::PERMISSION_DENIED, "text properties are not written through the server");
        bool taken = false;
        int rc = stg::c_OK;
        WithValueOf(info.type, [&](auto value) {
            if ((taken = Take(request->value(), value)))
                rc = axis < 0 ? stg::SetProperty(id, info.id, value) : stg::SetProperty(id, axis, info.id, value);
        });
        if (!taken)
            return Invalid("property " + request->name() + " takes another type of value");
        return Outcome(context, "writing " + request->name(), rc);
    });
    if (!written.ok())
        return written;
    cfg::Flush();
    return GetProperty(context, request, reply);
}

Status CStageService::ListProperties(ServerContext* context, const pb::PropertyListRequest* request,
                                     pb::PropertyList* reply)
{
    const std::uint32_t id = request->stage_id();
    return ServeStage(context, "ListProperties", id, [&] {
        int axis = -1;
        if (!request->axis().empty())
            if (Status status = ResolveAxis(id, request->axis(), axis); !status.ok())
                return status;
        // As `prop list` in process: the settings of the level (and those of any level) that the
        // stage or the axis answers; one it does not hold, or of a type not carried, is left out.
        const utl::EPropertyScope level = axis < 0 ? utl::EPropertyScope::Stage : utl::EPropertyScope::Axis;
        for (const auto& info : utl::RegisteredProperties()) {
            if (info.scope != utl::EPropertyScope::Any && info.scope != level)
                continue;
            pb::PropertyValue value;
            int rc = stg::c_OK;
            if (!ReadProperty(id, axis, info, &value, rc) || rc != stg::c_OK)
                continue;
            auto* entry = reply->add_properties();
            entry->set_name(Narrow(info.name));
            *entry->mutable_value() = std::move(value);
            entry->set_unit(Narrow(info.unit));
            entry->set_description(Narrow(info.description));
        }
        return Status::OK;
    });
}

Status CStageService::EscapeZ(ServerContext* context, const pb::EscapeRequest* request, pb::EscapeReply* reply)
{
    const std::uint32_t id = request->stage_id();
    return ServeStage(context, "EscapeZ", id, [&] {
        const int rc = stg::EscapeZ(id, request->escape());
        reply->set_result(rc);
        reply->set_escaped(stg::IsEscapedZ(id));
        reply->set_enabled(stg::IsEscapeEnabled(id));
        return Outcome(context, request->escape() ? "escape" : "return", rc == stg::c_EscapeCounted ? stg::c_OK : rc);
    });
}

Status CStageService::Subscribe(ServerContext* context, const pb::SubscribeRequest* request,
                                grpc::ServerWriter<pb::Event>* writer)
{
    return Serve(context, "Subscribe", [&] {
        const std::uint32_t id = request->stage_id();
        if (id != 0)
            if (Status status = CheckStage(id); !status.ok())
                return status;
        const auto events = m_hub.Add(id);
        // The headers go out at once, so that the client knows that it is subscribed.
        writer->SendInitialMetadata();
        pb::Event event;
        while (!m_stopping && !context->IsCancelled()) {
            if (!CEventHub::Next(*events, event, c_cancelCheck))
                continue;
            if (!writer->Write(event))
                break;
        }
        m_hub.Remove(events);
        return Status::OK;
    });
}

} // namespace plinthcli
