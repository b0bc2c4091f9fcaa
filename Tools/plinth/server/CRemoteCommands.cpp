#include "CRemoteCommands.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>

#include <poll.h>

#include <CLI/CLI.hpp>
#include <grpcpp/grpcpp.h>
#include <plinth/v1/stage.grpc.pb.h>

#include <plinth/driver/ResultCodes.h>
#include <utl/CUnit.h>

#include "CommandArgs.h"
#include "Interrupts.h"
#include "PropertyText.h"
#include "Quantity.h"
#include "ServerAddress.h"

namespace plinthcli {
namespace {

namespace pb = plinth::v1;
using Position = utl::TUnitValue<double>;

// How long a call other than a blocking move, a range search or watch may take.
constexpr std::chrono::seconds c_callDeadline{15};
constexpr int c_maxMessageBytes = 64 * 1024;

struct CRemoteError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string AxisText(const tAxisKey& key)
{
    return key.letter != 0 ? std::string(1, key.letter) : std::to_string(key.number);
}

double Micrometres(const Position& value) { return value.In(utl::c_mum).GetValue(); }

std::string Um(double micrometres) { return FormatQuantity(Position(micrometres, utl::c_mum)); }

class CClient {
public:
    CClient(const tRemoteChoice& choice, std::uint32_t stageID, const std::string& tokenFile)
        : m_choice(choice), m_stageID(stageID)
    {
        const tServerAddress address = ParseServerAddress(choice.address);
        if (!tokenFile.empty())
            m_token = ReadTokenFile(tokenFile);
        grpc::ChannelArguments arguments;
        arguments.SetMaxReceiveMessageSize(c_maxMessageBytes);
        arguments.SetMaxSendMessageSize(c_maxMessageBytes);
        m_stub = pb::StageService::NewStub(
            grpc::CreateCustomChannel(address.Target(), grpc::InsecureChannelCredentials(), arguments));
    }

    std::uint32_t ID() const { return m_stageID; }
    const tRemoteChoice& Choice() const { return m_choice; }
    pb::StageService::Stub& Stub() { return *m_stub; }

    // A context with the token and, unless `unbounded`, the usual deadline.
    void Prepare(grpc::ClientContext& context, bool unbounded = false) const
    {
        if (!m_token.empty())
            context.AddMetadata("authorization", "Bearer " + m_token);
        if (!unbounded)
            context.set_deadline(std::chrono::system_clock::now() + c_callDeadline);
    }

    // Runs one unary call; throws CRemoteError with the server's words when it failed.
    template <class Request, class Reply>
    Reply Call(const char* what,
               grpc::Status (pb::StageService::Stub::*method)(grpc::ClientContext*, const Request&, Reply*),
               const Request& request, bool unbounded = false)
    {
        grpc::ClientContext context;
        Prepare(context, unbounded);
        Reply reply;
        Check(what, ((*m_stub).*method)(&context, request, &reply));
        return reply;
    }

    void Check(const char* what, const grpc::Status& status) const
    {
        if (status.ok())
            return;
        if (status.error_code() == grpc::StatusCode::UNAVAILABLE)
            throw CRemoteError(std::string(what) + ": no server answers at " + m_choice.address + " (" +
                               status.error_message() + ")");
        throw CRemoteError(std::string(what) + ": " + status.error_message());
    }

    pb::StageRequest StageRequest() const
    {
        pb::StageRequest request;
        request.set_stage_id(m_stageID);
        return request;
    }

private:
    tRemoteChoice m_choice;
    std::uint32_t m_stageID;
    std::string m_token;
    std::unique_ptr<pb::StageService::Stub> m_stub;
};

void PrintAxisValues(const pb::AxisValues& values, const char* suffix, bool lengths)
{
    for (const auto& value : values.values()) {
        if (lengths)
            std::printf("%s: %s%s\n", value.axis().c_str(),
                        FormatQuantity(Position(value.value(), utl::c_mum), 4).c_str(), suffix);
        else
            std::printf("%s: %g%s\n", value.axis().c_str(), value.value(), suffix);
    }
}

void PrintLimits(const pb::LimitsReply& reply)
{
    for (const auto& limits : reply.limits()) {
        if (limits.defined())
            std::printf("%s: %s .. %s\n", limits.axis().c_str(), Um(limits.minimum_um()).c_str(),
                        Um(limits.maximum_um()).c_str());
        else
            std::printf("%s: not defined\n", limits.axis().c_str());
    }
}

const char* EventText(pb::Event::Kind kind)
{
    switch (kind) {
    case pb::Event::LIMITS_CHANGED:
        return "limits changed";
    case pb::Event::CALIBRATION_CHANGED:
        return "calibration changed";
    case pb::Event::USER_CONTROL_ON:
        return "user control on";
    case pb::Event::USER_CONTROL_OFF:
        return "user control off";
    case pb::Event::RANGE_SEARCH_BEGIN:
        return "range search begins";
    case pb::Event::RANGE_SEARCH_END:
        return "range search ended";
    case pb::Event::MOVE_STARTED:
        return "move started";
    case pb::Event::MOVE_FINISHED:
        return "move finished";
    case pb::Event::POSITION_SAMPLE:
        return "position";
    default:
        return "event";
    }
}

// Runs `call` on a thread of its own while this one waits for a signal; on a signal runs
// `onSignal`, then `cancel`, and throws CInterrupted once the call has returned.
void RunInterruptibly(const std::function<void()>& call, const std::function<void()>& onSignal,
                      const std::function<void()>& cancel)
{
    std::exception_ptr failure;
    std::atomic<bool> done{false};
    int pipeFds[2] = {-1, -1};
    if (pipe(pipeFds) != 0)
        throw CRemoteError("cannot make a pipe");
    std::thread worker([&] {
        try {
            call();
        } catch (...) {
            failure = std::current_exception();
        }
        done = true;
        const char byte = 1;
        [[maybe_unused]] const auto written = write(pipeFds[1], &byte, 1);
    });
    int signal = 0;
    while (!done) {
        pollfd fds[2] = {{interrupts::ReadFd(), POLLIN, 0}, {pipeFds[0], POLLIN, 0}};
        poll(fds, 2, -1);
        if ((signal = interrupts::Take()) != 0) {
            onSignal();
            cancel();
            break;
        }
    }
    worker.join();
    close(pipeFds[0]);
    close(pipeFds[1]);
    if (signal != 0)
        throw CInterrupted{signal};
    if (failure)
        std::rethrow_exception(failure);
}

struct tArgs {
    std::string server, tokenFile, stage;
    std::vector<std::string> items;
    bool noWait = false, init = false, clear = false;
    std::string action, target, name, value;
};

void Info(CClient& client)
{
    const auto info = client.Call("info", &pb::StageService::Stub::GetInfo, client.StageRequest());
    std::printf("server: %s%s (plinth %s)\n", client.Choice().address.c_str(),
                client.Choice().automatic ? ", the default address" : "", info.server_version().c_str());
    std::printf("stage %u: driver %s, %s\n", info.stage_id(), info.driver().c_str(),
                info.connected() ? "connected" : "not connected");
    std::string axes;
    for (const auto& axis : info.axes())
        axes += (axes.empty() ? "" : " ") + axis;
    std::printf("axes: %s; limits %s; precision %s; user control %s\n", axes.c_str(),
                info.limits_defined() ? "defined" : "not defined", info.precision() ? "on" : "off",
                info.user_control() ? "on" : "off");
    if (!info.driver_message().empty())
        std::printf("driver says: %s\n", info.driver_message().c_str());
}

// The speed of an axis as the server reports it (the stage's unit, ticks per second for the
// shipped drivers) as a length per second through its calibration (µm per tick), as the library
// converts in process; in the stage's unit when the axis has no calibration.
std::string SpeedText(const pb::AxisInfo& axis)
{
    const double perSecondUm = axis.speed() * axis.calibration_um();
    if (std::isfinite(perSecondUm) && axis.calibration_um() > 0.0)
        return FormatReadable(Position(perSecondUm, utl::c_mum)) + "/s";
    char text[64];
    std::snprintf(text, sizeof(text), "%g (driver units; the axis has no calibration)", axis.speed());
    return text;
}

void Axes(CClient& client)
{
    const auto reply = client.Call("axes", &pb::StageService::Stub::GetAxes, client.StageRequest());
    for (const auto& axis : reply.axes()) {
        std::printf("%s (axis %d): %s, calibration %s, ", axis.type().c_str(), axis.number(),
                    axis.enabled() ? "enabled" : "disabled",
                    FormatQuantity(Position(axis.calibration_um(), utl::c_mum), 4).c_str());
        if (axis.limits_defined())
            std::printf("limits %s .. %s, ", Um(axis.minimum_um()).c_str(), Um(axis.maximum_um()).c_str());
        else
            std::printf("limits not defined, ");
        std::printf("speed %s, position %s\n", SpeedText(axis).c_str(),
                    axis.position_known() ? Um(axis.position_um()).c_str()
                                          : DescribeCode(axis.position_result()).c_str());
    }
}

void Pos(CClient& client)
{
    const auto reply = client.Call("pos", &pb::StageService::Stub::GetPositions, client.StageRequest());
    for (const auto& value : reply.positions_um())
        std::printf("%s: %s\n", value.axis().c_str(), Um(value.value()).c_str());
}

void Move(CClient& client, const tArgs& args)
{
    pb::MoveRequest request;
    request.set_stage_id(client.ID());
    request.set_wait(!args.noWait);
    for (const auto& text : args.items) {
        const tAxisQuantity target = ParseAxisQuantity(text);
        auto* value = request.add_targets_um();
        value->set_axis(AxisText(target.axis));
        value->set_value(Micrometres(target.value));
    }
    if (args.noWait) {
        client.Call("move", &pb::StageService::Stub::Move, request);
        std::printf("moving; stop with: plinth stop\n");
        return;
    }
    grpc::ClientContext context;
    client.Prepare(context, true);
    pb::MoveReply reply;
    grpc::Status status;
    RunInterruptibly([&] { status = client.Stub().Move(&context, request, &reply); },
                     [&] {
                         // Ctrl-C stops the move this command started, then the call ends.
                         grpc::ClientContext stop;
                         client.Prepare(stop);
                         pb::Empty empty;
                         client.Stub().Stop(&stop, client.StageRequest(), &empty);
                     },
                     [&] { context.TryCancel(); });
    client.Check("move", status);
    for (const auto& value : reply.positions_um())
        std::printf("%s: %s\n", value.axis().c_str(), Um(value.value()).c_str());
}

void Free(CClient& client, const tArgs& args)
{
    pb::FreeRunRequest request;
    request.set_stage_id(client.ID());
    for (const auto& text : args.items) {
        const tAxisNumber speed = ParseAxisNumber(text);
        auto* value = request.add_speeds();
        value->set_axis(AxisText(speed.axis));
        value->set_value(speed.value);
    }
    client.Call("free", &pb::StageService::Stub::FreeRun, request);
    std::printf("running; stop with: plinth stop\n");
}

void Limits(CClient& client, const tArgs& args)
{
    if (args.init || args.clear) {
        pb::AxesRequest request;
        request.set_stage_id(client.ID());
        for (const auto& text : args.items)
            request.add_axes(AxisText(ParseAxisKey(text)));
        if (args.init) {
            std::printf("searching the end switches...\n");
            PrintLimits(client.Call("range search", &pb::StageService::Stub::FindLimits, request, true));
        } else {
            PrintLimits(client.Call("forgetting the limits", &pb::StageService::Stub::ClearLimits, request));
        }
        return;
    }
    if (args.items.empty()) {
        PrintLimits(client.Call("limits", &pb::StageService::Stub::GetLimits, client.StageRequest()));
        return;
    }
    pb::SetLimitsRequest request;
    request.set_stage_id(client.ID());
    for (const auto& text : args.items) {
        const tAxisRange range = ParseAxisRange(text);
        auto* limits = request.add_limits();
        limits->set_axis(AxisText(range.axis));
        limits->set_minimum_um(Micrometres(range.minimum));
        limits->set_maximum_um(Micrometres(range.maximum));
    }
    PrintLimits(client.Call("setting the limits", &pb::StageService::Stub::SetLimits, request));
}

void Calib(CClient& client, const tArgs& args)
{
    pb::AxisValuesRequest request;
    request.set_stage_id(client.ID());
    for (const auto& text : args.items) {
        const tAxisQuantity calibration = ParseAxisQuantity(text);
        auto* value = request.add_values();
        value->set_axis(AxisText(calibration.axis));
        value->set_value(Micrometres(calibration.value));
    }
    PrintAxisValues(client.Call("calibration", &pb::StageService::Stub::SetCalibration, request), " per tick", true);
}

// The server takes speeds in the stage's unit: a length per second is converted here through the
// calibration the server reports for the axis, as the library converts in process.
void Speed(CClient& client, const tArgs& args)
{
    std::vector<tAxisSpeed> parsed;
    for (const auto& text : args.items)
        parsed.push_back(ParseAxisSpeed(text));
    const auto axes = client.Call("axes", &pb::StageService::Stub::GetAxes, client.StageRequest());
    pb::AxisValuesRequest request;
    request.set_stage_id(client.ID());
    for (const auto& speed : parsed) {
        auto* value = request.add_values();
        value->set_axis(AxisText(speed.axis));
        value->set_value(speed.value.GetValue());
        if (!speed.perSecond)
            continue;
        const auto info = std::find_if(axes.axes().begin(), axes.axes().end(), [&](const pb::AxisInfo& each) {
            return speed.axis.letter != 0 ? each.type() == std::string(1, speed.axis.letter)
                                          : each.number() == speed.axis.number;
        });
        if (info == axes.axes().end())
            throw CRemoteError("stage " + std::to_string(client.ID()) + " has no axis " + speed.axis.text);
        if (speed.value.GetUnit().GetQuantity() != utl::EQuantity::Length)
            throw CRemoteError("setting the speed of " + speed.axis.text + ": " + info->axis() +
                               " takes speeds in µm/s (or another unit of its kind), not " +
                               speed.value.GetUnit().GetSymbol() + "/s");
        if (!(info->calibration_um() > 0.0))
            throw CRemoteError("setting the speed of " + speed.axis.text + ": " + info->axis() +
                               " has no calibration to convert " + FormatReadable(speed.value) + "/s");
        value->set_value(Micrometres(speed.value) / info->calibration_um());
    }
    if (request.values_size() > 0)
        client.Call("speeds", &pb::StageService::Stub::SetSpeeds, request);
    const auto now = client.Call("axes", &pb::StageService::Stub::GetAxes, client.StageRequest());
    for (const auto& axis : now.axes())
        std::printf("%s: %s\n", axis.axis().c_str(), SpeedText(axis).c_str());
}

// As the value shows in process; `quoted` tells whether it is text.
std::string ValueText(const pb::PropertyValue& value, bool& quoted)
{
    quoted = value.value_case() == pb::PropertyValue::kTextValue;
    switch (value.value_case()) {
    case pb::PropertyValue::kIntValue:
        return PropertyText(static_cast<std::int64_t>(value.int_value()));
    case pb::PropertyValue::kDoubleValue:
        return PropertyText(value.double_value());
    case pb::PropertyValue::kBoolValue:
        return PropertyText(value.bool_value());
    case pb::PropertyValue::kTextValue:
        return PropertyText(value.text_value());
    case pb::PropertyValue::kQuantityValue: {
        const auto unit = utl::CUnit::FromSymbol(value.quantity_value().unit());
        return PropertyText(Position(value.quantity_value().value(), unit ? *unit : utl::CUnit()));
    }
    default:
        return "(no value)";
    }
}

std::string ValueText(const pb::PropertyValue& value)
{
    bool quoted = false;
    return ValueText(value, quoted);
}

void ListProps(CClient& client, const std::string& target)
{
    pb::PropertyListRequest request;
    request.set_stage_id(client.ID());
    if (target != "stage")
        request.set_axis(AxisText(ParseAxisKey(target)));
    const auto reply = client.Call("listing the properties", &pb::StageService::Stub::ListProperties, request);
    for (const auto& entry : reply.properties()) {
        bool quoted = false;
        const std::string value = ValueText(entry.value(), quoted);
        std::fputs(PropertyListLine(entry.name(), value, quoted, entry.unit(), entry.description()).c_str(), stdout);
    }
}

void Prop(CClient& client, const tArgs& args)
{
    if (args.action == "list") {
        ListProps(client, args.target.empty() ? "stage" : args.target);
        return;
    }
    if (args.target.empty() || args.name.empty())
        throw CArgumentError("prop " + args.action + " needs a target (stage, X, Y, Z or an axis number) and a name");
    pb::PropertyRequest request;
    request.set_stage_id(client.ID());
    if (args.target != "stage")
        request.set_axis(AxisText(ParseAxisKey(args.target)));
    request.set_name(args.name);
    // The current value tells the type the new one is read as.
    const auto current = client.Call("reading the property", &pb::StageService::Stub::GetProperty, request);
    if (args.action == "get") {
        std::printf("%s = %s\n", args.name.c_str(), ValueText(current).c_str());
        return;
    }
    if (args.value.empty())
        throw CRemoteError("prop set needs a value");
    auto* value = request.mutable_value();
    switch (current.value_case()) {
    case pb::PropertyValue::kIntValue:
        value->set_int_value(ParseInteger<std::int64_t>(args.value, args.name));
        break;
    case pb::PropertyValue::kDoubleValue:
        value->set_double_value(ParseReal(args.value, args.name));
        break;
    case pb::PropertyValue::kBoolValue:
        value->set_bool_value(ParseTruth(args.value, args.name));
        break;
    case pb::PropertyValue::kQuantityValue: {
        const Position quantity = ParseQuantity(args.value, args.name);
        value->mutable_quantity_value()->set_value(quantity.GetValue());
        value->mutable_quantity_value()->set_unit(quantity.GetUnit().GetSymbol());
        break;
    }
    default:
        value->set_text_value(args.value);
    }
    const auto written = client.Call("writing the property", &pb::StageService::Stub::SetProperty, request);
    std::printf("%s = %s\n", args.name.c_str(), ValueText(written).c_str());
}

void Escape(CClient& client, bool escape)
{
    pb::EscapeRequest request;
    request.set_stage_id(client.ID());
    request.set_escape(escape);
    const auto reply = client.Call(escape ? "escape" : "return", &pb::StageService::Stub::EscapeZ, request, true);
    if (reply.result() == stg::c_EscapeCounted)
        std::printf("%s counted; Z did not move (nested escape)\n", escape ? "escape" : "return");
    else if (!reply.enabled())
        std::printf("this stage does not allow Z escape; nothing to do\n");
    std::printf("Z %s\n", reply.escaped() ? "escaped" : "not escaped");
}

void Watch(CClient& client)
{
    pb::SubscribeRequest request;
    request.set_stage_id(client.ID());
    grpc::ClientContext context;
    client.Prepare(context, true);
    grpc::Status status;
    std::printf("watching stage %u through %s; Ctrl-C ends\n", client.ID(), client.Choice().address.c_str());
    std::fflush(stdout);
    RunInterruptibly(
        [&] {
            const auto reader = client.Stub().Subscribe(&context, request);
            pb::Event event;
            while (reader->Read(&event)) {
                std::printf("[event] %s", EventText(event.kind()));
                if (!event.axis().empty())
                    std::printf(", %s", event.axis().c_str());
                if (event.kind() == pb::Event::POSITION_SAMPLE)
                    std::printf(" at %s", Um(event.position_um()).c_str());
                if (event.kind() == pb::Event::MOVE_FINISHED)
                    std::printf(": %s", DescribeCode(event.result()).c_str());
                std::printf("\n");
                std::fflush(stdout);
            }
            status = reader->Finish();
        },
        [] {}, [&] { context.TryCancel(); });
    client.Check("watch", status);
}

} // namespace

std::optional<tRemoteChoice> ChooseServer(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--server" && i + 1 < argc)
            return tRemoteChoice{argv[i + 1], false};
        if (arg.rfind("--server=", 0) == 0)
            return tRemoteChoice{arg.substr(9), false};
    }
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "serve" || arg == "shell" || arg == "demo" || arg == "config" || arg == "--module" ||
            arg == "--port" || arg.rfind("--module=", 0) == 0 || arg.rfind("--port=", 0) == 0 || arg == "--help" ||
            arg == "-h")
            return std::nullopt;
    }
    // Read before any thread of ours runs.
    const char* fromEnvironment = std::getenv("PLINTH_SERVER"); // NOLINT(concurrency-mt-unsafe)
    if (fromEnvironment != nullptr && fromEnvironment[0] != '\0')
        return tRemoteChoice{fromEnvironment, false};
    const std::string path = DefaultSocketPath();
    if (SocketAnswers(path))
        return tRemoteChoice{"unix:" + path, true};
    return std::nullopt;
}

int RunRemote(int argc, char** argv, const tRemoteChoice& choice)
{
    tArgs args;
    CLI::App app("plinth: drive a motorised microscope stage through a stage server (plinth serve)", "plinth");
    app.add_option("--server", args.server, "The server's address: unix:PATH, PATH or tcp:HOST:PORT");
    app.add_option("--token-file", args.tokenFile, "A file holding the server's token (TCP)");
    app.add_option("--stage", args.stage, "Stage ID (default 1)");
    std::function<void(CClient&)> chosen;
    const auto command = [&](const char* name, const char* description, const std::function<void(CClient&)>& run) {
        CLI::App* sub = app.add_subcommand(name, description);
        sub->callback([&chosen, run] { chosen = run; });
        return sub;
    };
    command("info", "Show the server and the stage", Info);
    command("axes", "Show every axis", Axes);
    command("pos", "Show the positions of all axes", Pos);
    auto* move =
        command("move", "Move axes to positions, e.g. move X=12.5um Y=1mm", [&](CClient& c) { Move(c, args); });
    move->add_option("targets", args.items, "AXIS=POSITION")->required();
    move->add_flag("--no-wait", args.noWait, "Start the move and return at once");
    auto* free = command("free", "Run axes freely until stopped", [&](CClient& c) { Free(c, args); });
    free->add_option("speeds", args.items, "AXIS=SPEED")->required();
    command("stop", "Stop all axes",
            [](CClient& c) { c.Call("stop", &pb::StageService::Stub::Stop, c.StageRequest()); });
    auto* limits = command("limits", "Show or set the axis limits", [&](CClient& c) { Limits(c, args); });
    limits->add_option("limits", args.items, "AXIS=MIN:MAX, or with --init/--clear the axes");
    limits->add_flag("--init", args.init, "Search the end switches and take them as limits");
    limits->add_flag("--clear", args.clear, "Forget the limits");
    auto* calib = command("calib", "Show or set the calibration", [&](CClient& c) { Calib(c, args); });
    calib->add_option("calibrations", args.items, "AXIS=LENGTH");
    auto* speed = command("speed", "Show or set the axis speeds", [&](CClient& c) { Speed(c, args); });
    speed->add_option("speeds", args.items, "AXIS=SPEED");
    auto* prop = command("prop", "Read or write a stage or axis property", [&](CClient& c) { Prop(c, args); });
    prop->add_option("action", args.action, "get, set, or list (every setting of the target)")
        ->required()
        ->check(CLI::IsMember({"get", "set", "list"}));
    prop->add_option("target", args.target, "stage, or an axis (X, Y, Z or a number); list: default stage");
    prop->add_option("name", args.name, "Property name");
    prop->add_option("value", args.value, "Value to set");
    command("escape", "Move Z out of the way", [](CClient& c) { Escape(c, true); });
    command("return", "Bring Z back from an escape", [](CClient& c) { Escape(c, false); });
    command("watch", "Print the events and positions of the stage until Ctrl-C", Watch);
    app.require_subcommand(1, 1);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error);
    }
    try {
        const std::uint32_t stageID = args.stage.empty() ? 1 : ParseInteger<std::uint32_t>(args.stage, "--stage", 1);
        std::string tokenFile = args.tokenFile;
        if (const char* fromEnvironment = std::getenv("PLINTH_TOKEN_FILE"); // NOLINT(concurrency-mt-unsafe)
            tokenFile.empty() && fromEnvironment != nullptr)
            tokenFile = fromEnvironment;
        CClient client(choice, stageID, tokenFile);
        if (chosen)
            chosen(client);
    } catch (const CInterrupted& interrupted) {
        std::fflush(stdout);
        return interrupts::ExitStatus(interrupted.signal);
    } catch (const std::exception& error) {
        std::fflush(stdout);
        std::fprintf(stderr, "plinth: %s\n", error.what());
        return 1;
    }
    return 0;
}

} // namespace plinthcli
