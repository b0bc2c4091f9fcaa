#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>

#include <plinth/v1/stage.grpc.pb.h>
#include <utl/PropertyRegistry.h>

#include "CEventHub.h"

namespace plinthcli {

// The gRPC service of `plinth serve` over the flat API, for the stages the server registered
// (`drivers`: stage ID to the driver's short name). A request names only those stages, axes by
// type or number and values in micrometres; nothing in a request chooses a module or a path, and
// text properties (ports, paths among them) are not written. Every value is checked before
// anything is called: an unknown stage or axis, a value that is not finite or a malformed
// property ends the call with INVALID_ARGUMENT or NOT_FOUND and changes nothing. A failure of the
// library ends the call with a status naming the result code (trailing metadata "plinth-result").
// With a token, every call must carry "authorization: Bearer TOKEN" (UNAUTHENTICATED otherwise).
// Each failed call is logged on stderr in one line. Any thread of the gRPC server may call.
class CStageService final : public plinth::v1::StageService::Service {
public:
    CStageService(std::map<std::uint32_t, std::string> drivers, std::string token, CEventHub& hub);

    // Ends the blocking moves' waits and the event streams (the server is stopping).
    void Stopping() noexcept { m_stopping = true; }

    grpc::Status ListStages(grpc::ServerContext* context, const plinth::v1::ListStagesRequest* request,
                            plinth::v1::ListStagesReply* reply) override;
    grpc::Status GetInfo(grpc::ServerContext* context, const plinth::v1::StageRequest* request,
                         plinth::v1::StageInfo* reply) override;
    grpc::Status GetAxes(grpc::ServerContext* context, const plinth::v1::StageRequest* request,
                         plinth::v1::AxesReply* reply) override;
    grpc::Status GetPositions(grpc::ServerContext* context, const plinth::v1::StageRequest* request,
                              plinth::v1::PositionsReply* reply) override;
    grpc::Status Move(grpc::ServerContext* context, const plinth::v1::MoveRequest* request,
                      plinth::v1::MoveReply* reply) override;
    grpc::Status WaitForStop(grpc::ServerContext* context, const plinth::v1::WaitRequest* request,
                             plinth::v1::MoveReply* reply) override;
    grpc::Status FreeRun(grpc::ServerContext* context, const plinth::v1::FreeRunRequest* request,
                         plinth::v1::Empty* reply) override;
    grpc::Status Stop(grpc::ServerContext* context, const plinth::v1::StageRequest* request,
                      plinth::v1::Empty* reply) override;
    grpc::Status GetLimits(grpc::ServerContext* context, const plinth::v1::StageRequest* request,
                           plinth::v1::LimitsReply* reply) override;
    grpc::Status SetLimits(grpc::ServerContext* context, const plinth::v1::SetLimitsRequest* request,
                           plinth::v1::LimitsReply* reply) override;
    grpc::Status ClearLimits(grpc::ServerContext* context, const plinth::v1::AxesRequest* request,
                             plinth::v1::LimitsReply* reply) override;
    grpc::Status FindLimits(grpc::ServerContext* context, const plinth::v1::AxesRequest* request,
                            plinth::v1::LimitsReply* reply) override;
    grpc::Status GetCalibration(grpc::ServerContext* context, const plinth::v1::StageRequest* request,
                                plinth::v1::AxisValues* reply) override;
    grpc::Status SetCalibration(grpc::ServerContext* context, const plinth::v1::AxisValuesRequest* request,
                                plinth::v1::AxisValues* reply) override;
    grpc::Status GetSpeeds(grpc::ServerContext* context, const plinth::v1::StageRequest* request,
                           plinth::v1::AxisValues* reply) override;
    grpc::Status SetSpeeds(grpc::ServerContext* context, const plinth::v1::AxisValuesRequest* request,
                           plinth::v1::AxisValues* reply) override;
    grpc::Status GetProperty(grpc::ServerContext* context, const plinth::v1::PropertyRequest* request,
                             plinth::v1::PropertyValue* reply) override;
    grpc::Status SetProperty(grpc::ServerContext* context, const plinth::v1::PropertyRequest* request,
                             plinth::v1::PropertyValue* reply) override;
    grpc::Status ListProperties(grpc::ServerContext* context, const plinth::v1::PropertyListRequest* request,
                                plinth::v1::PropertyList* reply) override;
    grpc::Status EscapeZ(grpc::ServerContext* context, const plinth::v1::EscapeRequest* request,
                         plinth::v1::EscapeReply* reply) override;
    grpc::Status Subscribe(grpc::ServerContext* context, const plinth::v1::SubscribeRequest* request,
                           grpc::ServerWriter<plinth::v1::Event>* writer) override;

private:
    // Runs `body` for a call: the token check first; a failing status is logged.
    template <class Body>
    grpc::Status Serve(grpc::ServerContext* context, const char* method, Body&& body);
    // Serve for a call on one stage: CheckStage first, then `body`.
    template <class Body>
    grpc::Status ServeStage(grpc::ServerContext* context, const char* method, std::uint32_t stageID, Body&& body);
    // NOT_FOUND unless the stage is one of this server's, UNAVAILABLE unless it is active.
    grpc::Status CheckStage(std::uint32_t stageID) const;
    grpc::Status ResolveAxis(std::uint32_t stageID, const std::string& text, int& axis) const;
    // The axes named (all of them when none is).
    grpc::Status ResolveAxes(std::uint32_t stageID, const google::protobuf::RepeatedPtrField<std::string>& texts,
                             std::vector<int>& axes) const;
    // Reads the axis values of a request into `values` (axis number to T, made from the number in
    // micrometres or as it is): at least one, every axis one of the stage's and named once, every
    // number finite (and > 0 with `positive`); else INVALID_ARGUMENT naming `what`.
    template <class T>
    grpc::Status ReadValues(std::uint32_t stageID,
                            const google::protobuf::RepeatedPtrField<plinth::v1::AxisValue>& given, const char* what,
                            bool positive, std::map<int, T>& values) const;
    // Reads a per-axis setting (Setting: calibration or speeds) of every axis into `reply`; with
    // `given`, writes those values first.
    template <class Setting>
    grpc::Status AxisSetting(grpc::ServerContext* context, const char* method, std::uint32_t id,
                             const google::protobuf::RepeatedPtrField<plinth::v1::AxisValue>* given,
                             plinth::v1::AxisValues* reply);
    // The registered property a request names, and its axis (-1: the stage's own property).
    grpc::Status ResolveProperty(std::uint32_t stageID, const plinth::v1::PropertyRequest& request,
                                 utl::tPropertyInfo& info, int& axis) const;
    // Reads the property `info` of the stage (axis -1) or of an axis into `value` (when the
    // library answers c_OK, its answer in `rc`); false when the server carries no value of the
    // property's type.
    static bool ReadProperty(std::uint32_t stageID, int axis, const utl::tPropertyInfo& info,
                             plinth::v1::PropertyValue* value, int& rc);
    std::string Label(std::uint32_t stageID, int axis) const;
    // Always OK.
    grpc::Status FillLimits(std::uint32_t stageID, plinth::v1::LimitsReply* reply) const;
    // Waits for the end of the move that the stage starts next (its "started" event is the first
    // one seen), up to the deadline of the call; the move's outcome, or c_Timeout.
    int AwaitMoveEnd(grpc::ServerContext* context, const std::shared_ptr<CEventHub::tSubscriber>& events) const;

    const std::map<std::uint32_t, std::string> m_drivers;
    const std::string m_token; // empty: no token needed (the Unix socket)
    CEventHub& m_hub;
    std::atomic<bool> m_stopping{false};
};

} // namespace plinthcli
