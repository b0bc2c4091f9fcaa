#include "CStageService.h"

#include <cmath>
#include <cstdio>

#include <cfg/GlobalPropSets.h>
#include <plinth/Plinth.h>
#include <utl/PropertyRegistry.h>

#include "CStageSession.h"
#include "ServerAddress.h"

namespace plinthcli {
namespace {

using grpc::Status;
using grpc::StatusCode;
using Position = utl::TUnitValue<double>;

// How often a blocking move's wait looks whether its client is still there.
constexpr std::chrono::milliseconds c_cancelCheck{100};

Status Invalid(const std::string& message) { return {StatusCode::INVALID_ARGUMENT, message}; }

// The library answered `code` to `what`.
Status Failed(grpc::ServerContext* context, const std::string& what, int code)
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
    switch (type) {
    case stg::eAxisX:
        return "X";
    case stg::eAxisY:
        return "Y";
    case stg::eAxisZ:
        return "Z";
    default:
        return "-";
    }
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

} // namespace

CStageService::CStageService(std::map<std::uint32_t, std::string> drivers, std::string token, CEventHub& hub)
    : m_drivers(std::move(drivers)), m_token(std::move(token)), m_hub(hub)
{
}

template <class Body>
Status CStageService::Serve(grpc::ServerContext* context, const char* method, Body&& body)
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

std::string CStageService::Label(std::uint32_t stageID, int axis) const
{
    const stg::EAxisType type = stg::GetAxisType(stageID, axis);
    if (type != stg::eAxisNone && stg::GetAxisFromType(stageID, type) == axis)
        return TypeLetter(type);
    return std::to_string(axis);
}

Status CStageService::ListStages(grpc::ServerContext* context, const plinth::v1::ListStagesRequest* /*request*/,
                                 plinth::v1::ListStagesReply* reply)
{
    return Serve(context, "ListStages", [&] {
        for (const auto& [id, driver] : m_drivers) {
            plinth::v1::StageRequest one;
            one.set_stage_id(id);
            GetInfo(context, &one, reply->add_stages());
        }
        return Status::OK;
    });
}

Status CStageService::GetInfo(grpc::ServerContext* context, const plinth::v1::StageRequest* request,
                              plinth::v1::StageInfo* reply)
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

Status CStageService::GetAxes(grpc::ServerContext* context, const plinth::v1::StageRequest* request,
                              plinth::v1::AxesReply* reply)
{
    return Serve(context, "GetAxes", [&] {
        const std::uint32_t id = request->stage_id();
        if (Status status = CheckStage(id); !status.ok())
            return status;
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

Status CStageService::GetPositions(grpc::ServerContext* context, const plinth::v1::StageRequest* request,
                                   plinth::v1::PositionsReply* reply)
{
    return Serve(context, "GetPositions", [&] {
        const std::uint32_t id = request->stage_id();
        if (Status status = CheckStage(id); !status.ok())
            return status;
        std::map<int, Position> positions;
        std::vector<int> enabled;
        if (const int rc = stg::GetEnabledAxes(id, enabled); rc != stg::c_OK)
            return Failed(context, "reading the positions", rc);
        for (int axis : enabled)
            positions[axis] = Position();
        if (const int rc = stg::GetPosition(id, positions, stg::eGivenAxes); rc != stg::c_OK)
            return Failed(context, "reading the positions", rc);
        for (const auto& [axis, position] : positions) {
            auto* value = reply->add_positions_um();
            value->set_axis(Label(id, axis));
            value->set_value(Micrometres(position));
        }
        return Status::OK;
    });
}

int CStageService::AwaitMoveEnd(grpc::ServerContext* context,
                                const std::shared_ptr<CEventHub::tSubscriber>& events) const
{
    bool started = false;
    plinth::v1::Event event;
    while (!m_stopping) {
        if (context->IsCancelled() || std::chrono::system_clock::now() > context->deadline())
            return stg::c_Timeout;
        if (!CEventHub::Next(*events, event, c_cancelCheck))
            continue;
        if (event.kind() == plinth::v1::Event::MOVE_STARTED)
            started = true;
        else if (started && event.kind() == plinth::v1::Event::MOVE_FINISHED)
            return event.result();
    }
    return stg::c_Stopped;
}

Status CStageService::Move(grpc::ServerContext* context, const plinth::v1::MoveRequest* request,
                           plinth::v1::MoveReply* reply)
{
    return Serve(context, "Move", [&] {
        const std::uint32_t id = request->stage_id();
        if (Status status = CheckStage(id); !status.ok())
            return status;
        if (request->targets_um().empty())
            return Invalid("a move needs at least one target");
        std::map<int, Position> targets;
        for (const auto& target : request->targets_um()) {
            int axis = -1;
            if (Status status = ResolveAxis(id, target.axis(), axis); !status.ok())
                return status;
            if (!std::isfinite(target.value()))
                return Invalid("the target of axis " + target.axis() + " is not a finite number");
            if (targets.count(axis) != 0)
                return Invalid("axis " + target.axis() + " has two targets");
            targets[axis] = FromMicrometres(target.value());
        }
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
        for (const auto& [axis, target] : targets) {
            Position position;
            if (stg::GetPosition(id, axis, position) == stg::c_OK) {
                auto* value = reply->add_positions_um();
                value->set_axis(Label(id, axis));
                value->set_value(Micrometres(position));
            }
        }
        return Status::OK;
    });
}

Status CStageService::WaitForStop(grpc::ServerContext* context, const plinth::v1::WaitRequest* request,
                                  plinth::v1::MoveReply* reply)
{
    return Serve(context, "WaitForStop", [&] {
        const std::uint32_t id = request->stage_id();
        if (Status status = CheckStage(id); !status.ok())
            return status;
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
        return rc == stg::c_OK ? Status::OK : Failed(context, "waiting for the stop", rc);
    });
}

Status CStageService::FreeRun(grpc::ServerContext* context, const plinth::v1::FreeRunRequest* request,
                              plinth::v1::Empty* /*reply*/)
{
    return Serve(context, "FreeRun", [&] {
        const std::uint32_t id = request->stage_id();
        if (Status status = CheckStage(id); !status.ok())
            return status;
        std::map<int, double> speeds;
        for (const auto& speed : request->speeds()) {
            int axis = -1;
            if (Status status = ResolveAxis(id, speed.axis(), axis); !status.ok())
                return status;
            if (!std::isfinite(speed.value()))
                return Invalid("the speed of axis " + speed.axis() + " is not a finite number");
            speeds[axis] = speed.value();
        }
        if (speeds.empty())
            return Invalid("a free run needs at least one axis");
        const int rc = stg::MoveFree(id, speeds);
        return rc == stg::c_OK ? Status::OK : Failed(context, "the free run", rc);
    });
}

Status CStageService::Stop(grpc::ServerContext* context, const plinth::v1::StageRequest* request,
                           plinth::v1::Empty* /*reply*/)
{
    return Serve(context, "Stop", [&] {
        const std::uint32_t id = request->stage_id();
        if (Status status = CheckStage(id); !status.ok())
            return status;
        const int rc = stg::StopMoving(id);
        return rc == stg::c_OK ? Status::OK : Failed(context, "the stop", rc);
    });
}

void CStageService::FillLimits(std::uint32_t stageID, plinth::v1::LimitsReply* reply) const
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
}

Status CStageService::GetLimits(grpc::ServerContext* context, const plinth::v1::StageRequest* request,
                                plinth::v1::LimitsReply* reply)
{
    return Serve(context, "GetLimits", [&] {
        if (Status status = CheckStage(request->stage_id()); !status.ok())
            return status;
        FillLimits(request->stage_id(), reply);
        return Status::OK;
    });
}

Status CStageService::SetLimits(grpc::ServerContext* context, const plinth::v1::SetLimitsRequest* request,
                                plinth::v1::LimitsReply* reply)
{
    return Serve(context, "SetLimits", [&] {
        const std::uint32_t id = request->stage_id();
        if (Status status = CheckStage(id); !status.ok())
            return status;
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
        FillLimits(id, reply);
        return Status::OK;
    });
}

Status CStageService::ClearLimits(grpc::ServerContext* context, const plinth::v1::AxesRequest* request,
                                  plinth::v1::LimitsReply* reply)
{
    return Serve(context, "ClearLimits", [&] {
        const std::uint32_t id = request->stage_id();
        std::vector<int> axes;
        if (Status status = CheckStage(id); !status.ok())
            return status;
        if (Status status = ResolveAxes(id, request->axes(), axes); !status.ok())
            return status;
        if (const int rc = stg::UndefineLimits(id, axes); rc != stg::c_OK)
            return Failed(context, "forgetting the limits", rc);
        FillLimits(id, reply);
        return Status::OK;
    });
}

Status CStageService::FindLimits(grpc::ServerContext* context, const plinth::v1::AxesRequest* request,
                                 plinth::v1::LimitsReply* reply)
{
    return Serve(context, "FindLimits", [&] {
        const std::uint32_t id = request->stage_id();
        std::vector<int> axes;
        if (Status status = CheckStage(id); !status.ok())
            return status;
        if (Status status = ResolveAxes(id, request->axes(), axes); !status.ok())
            return status;
        auto& manager = stg::CStageManager::StageManager();
        const auto held = manager.Acquire(id);
        if (!held)
            return Failed(context, "the range search", stg::c_NoSuchStage);
        if (const int rc = held->GetMediumLevel().InitRanges(axes); rc != stg::c_OK)
            return Failed(context, "the range search", rc);
        FillLimits(id, reply);
        return Status::OK;
    });
}

Status CStageService::GetCalibration(grpc::ServerContext* context, const plinth::v1::StageRequest* request,
                                     plinth::v1::AxisValues* reply)
{
    return Serve(context, "GetCalibration", [&] {
        const std::uint32_t id = request->stage_id();
        if (Status status = CheckStage(id); !status.ok())
            return status;
        std::map<int, Position> calibration;
        if (const int rc = stg::GetCalibration(id, calibration, stg::eAllAxes); rc != stg::c_OK)
            return Failed(context, "reading the calibration", rc);
        for (const auto& [axis, length] : calibration) {
            auto* value = reply->add_values();
            value->set_axis(Label(id, axis));
            value->set_value(Micrometres(length));
        }
        return Status::OK;
    });
}

Status CStageService::SetCalibration(grpc::ServerContext* context, const plinth::v1::AxisValuesRequest* request,
                                     plinth::v1::AxisValues* reply)
{
    return Serve(context, "SetCalibration", [&] {
        const std::uint32_t id = request->stage_id();
        if (Status status = CheckStage(id); !status.ok())
            return status;
        std::map<int, Position> calibration;
        for (const auto& entry : request->values()) {
            int axis = -1;
            if (Status status = ResolveAxis(id, entry.axis(), axis); !status.ok())
                return status;
            if (!std::isfinite(entry.value()) || entry.value() <= 0.0)
                return Invalid("the calibration of axis " + entry.axis() + " is not a positive finite length");
            calibration[axis] = FromMicrometres(entry.value());
        }
        if (!calibration.empty())
            if (const int rc = stg::SetCalibration(id, calibration); rc != stg::c_OK)
                return Failed(context, "setting the calibration", rc);
        plinth::v1::StageRequest read;
        read.set_stage_id(id);
        return GetCalibration(context, &read, reply);
    });
}

Status CStageService::GetSpeeds(grpc::ServerContext* context, const plinth::v1::StageRequest* request,
                                plinth::v1::AxisValues* reply)
{
    return Serve(context, "GetSpeeds", [&] {
        const std::uint32_t id = request->stage_id();
        if (Status status = CheckStage(id); !status.ok())
            return status;
        std::map<int, double> speeds;
        if (const int rc = stg::GetSpeeds(id, speeds, stg::eAllAxes); rc != stg::c_OK)
            return Failed(context, "reading the speeds", rc);
        for (const auto& [axis, speed] : speeds) {
            auto* value = reply->add_values();
            value->set_axis(Label(id, axis));
            value->set_value(speed);
        }
        return Status::OK;
    });
}

Status CStageService::SetSpeeds(grpc::ServerContext* context, const plinth::v1::AxisValuesRequest* request,
                                plinth::v1::AxisValues* reply)
{
    return Serve(context, "SetSpeeds", [&] {
        const std::uint32_t id = request->stage_id();
        if (Status status = CheckStage(id); !status.ok())
            return status;
        std::map<int, double> speeds;
        for (const auto& entry : request->values()) {
            int axis = -1;
            if (Status status = ResolveAxis(id, entry.axis(), axis); !status.ok())
                return status;
            if (!std::isfinite(entry.value()) || entry.value() <= 0.0)
                return Invalid("the speed of axis " + entry.axis() + " is not a positive finite number");
            speeds[axis] = entry.value();
        }
        if (!speeds.empty())
            if (const int rc = stg::SetSpeeds(id, speeds); rc != stg::c_OK)
                return Failed(context, "setting the speeds", rc);
        plinth::v1::StageRequest read;
        read.set_stage_id(id);
        return GetSpeeds(context, &read, reply);
    });
}

Status CStageService::GetProperty(grpc::ServerContext* context, const plinth::v1::PropertyRequest* request,
                                  plinth::v1::PropertyValue* reply)
{
    return Serve(context, "GetProperty", [&] {
        const std::uint32_t id = request->stage_id();
        if (Status status = CheckStage(id); !status.ok())
            return status;
        const auto info = utl::FindProperty(Widen(request->name()));
        if (!info)
            return Status(StatusCode::NOT_FOUND,
                          "no property is registered as \"" + request->name().substr(0, 64) + "\"");
        int axis = -1;
        const bool stageLevel = request->axis().empty();
        if (!stageLevel)
            if (Status status = ResolveAxis(id, request->axis(), axis); !status.ok())
                return status;
        const auto read = [&](auto& value) {
            return stageLevel ? stg::GetProperty(id, info->id, value) : stg::GetProperty(id, axis, info->id, value);
        };
        int rc = stg::c_OK;
        if (info->type == mem::c_tInt) {
            int value = 0;
            if ((rc = read(value)) == stg::c_OK)
                reply->set_int_value(value);
        } else if (info->type == mem::c_tInt64) {
            std::int64_t value = 0;
            if ((rc = read(value)) == stg::c_OK)
                reply->set_int_value(value);
        } else if (info->type == mem::c_tDouble) {
            double value = 0.0;
            if ((rc = read(value)) == stg::c_OK)
                reply->set_double_value(value);
        } else if (info->type == mem::c_tBool) {
            bool value = false;
            if ((rc = read(value)) == stg::c_OK)
                reply->set_bool_value(value);
        } else if (info->type == mem::c_tUnitDouble) {
            Position value;
            if ((rc = read(value)) == stg::c_OK) {
                reply->mutable_quantity_value()->set_value(value.GetValue());
                reply->mutable_quantity_value()->set_unit(value.GetUnit().GetSymbol());
            }
        } else if (info->type == mem::c_tWString) {
            std::wstring value;
            if ((rc = read(value)) == stg::c_OK)
                reply->set_text_value(Narrow(value));
        } else {
            return Invalid("property " + request->name() + " has a type the server does not carry");
        }
        return rc == stg::c_OK ? Status::OK : Failed(context, "reading " + request->name(), rc);
    });
}

Status CStageService::SetProperty(grpc::ServerContext* context, const plinth::v1::PropertyRequest* request,
                                  plinth::v1::PropertyValue* reply)
{
    Status written = Serve(context, "SetProperty", [&] {
        const std::uint32_t id = request->stage_id();
        if (Status status = CheckStage(id); !status.ok())
            return status;
        const auto info = utl::FindProperty(Widen(request->name()));
        if (!info)
            return Status(StatusCode::NOT_FOUND,
                          "no property is registered as \"" + request->name().substr(0, 64) + "\"");
        int axis = -1;
        const bool stageLevel = request->axis().empty();
        if (!stageLevel)
            if (Status status = ResolveAxis(id, request->axis(), axis); !status.ok())
                return status;
        const auto write = [&](const auto& value) {
            return stageLevel ? stg::SetProperty(id, info->id, value) : stg::SetProperty(id, axis, info->id, value);
        };
        const auto& given = request->value();
        const auto wrongType = [&] { return Invalid("property " + request->name() + " takes another type of value"); };
        int rc = stg::c_OK;
        if (info->type == mem::c_tInt) {
            if (given.value_case() != plinth::v1::PropertyValue::kIntValue || given.int_value() < INT32_MIN ||
                given.int_value() > INT32_MAX)
                return wrongType();
            rc = write(static_cast<int>(given.int_value()));
        } else if (info->type == mem::c_tInt64) {
            if (given.value_case() != plinth::v1::PropertyValue::kIntValue)
                return wrongType();
            rc = write(std::int64_t{given.int_value()});
        } else if (info->type == mem::c_tDouble) {
            if (given.value_case() != plinth::v1::PropertyValue::kDoubleValue || !std::isfinite(given.double_value()))
                return wrongType();
            rc = write(given.double_value());
        } else if (info->type == mem::c_tBool) {
            if (given.value_case() != plinth::v1::PropertyValue::kBoolValue)
                return wrongType();
            rc = write(given.bool_value());
        } else if (info->type == mem::c_tUnitDouble) {
            if (given.value_case() != plinth::v1::PropertyValue::kQuantityValue ||
                !std::isfinite(given.quantity_value().value()))
                return wrongType();
            const auto unit = utl::CUnit::FromSymbol(given.quantity_value().unit());
            if (!unit)
                return Invalid("unknown unit \"" + given.quantity_value().unit().substr(0, 16) + "\"");
            rc = write(Position(given.quantity_value().value(), *unit));
        } else {
            // Text settings name ports, paths and the like: only the server's own command line
            // chooses what it opens.
            return Status(StatusCode::PERMISSION_DENIED, "text properties are not written through the server");
        }
        return rc == stg::c_OK ? Status::OK : Failed(context, "writing " + request->name(), rc);
    });
    if (!written.ok())
        return written;
    cfg::Flush();
    return GetProperty(context, request, reply);
}

Status CStageService::EscapeZ(grpc::ServerContext* context, const plinth::v1::EscapeRequest* request,
                              plinth::v1::EscapeReply* reply)
{
    return Serve(context, "EscapeZ", [&] {
        const std::uint32_t id = request->stage_id();
        if (Status status = CheckStage(id); !status.ok())
            return status;
        const int rc = stg::EscapeZ(id, request->escape());
        reply->set_result(rc);
        reply->set_escaped(stg::IsEscapedZ(id));
        reply->set_enabled(stg::IsEscapeEnabled(id));
        return rc == stg::c_OK || rc == stg::c_EscapeCounted
                   ? Status::OK
                   : Failed(context, request->escape() ? "escape" : "return", rc);
    });
}

Status CStageService::Subscribe(grpc::ServerContext* context, const plinth::v1::SubscribeRequest* request,
                                grpc::ServerWriter<plinth::v1::Event>* writer)
{
    return Serve(context, "Subscribe", [&] {
        const std::uint32_t id = request->stage_id();
        if (id != 0)
            if (Status status = CheckStage(id); !status.ok())
                return status;
        const auto events = m_hub.Add(id);
        // The headers go out at once, so that the client knows that it is subscribed.
        writer->SendInitialMetadata();
        plinth::v1::Event event;
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
