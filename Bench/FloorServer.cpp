// The floor of a read through the stage server: a gRPC server of the same service, on the same
// kind of socket, whose GetPositions answers three fixed positions without touching a stage. What
// a read through `plinth serve` costs beyond this is the server's own work; what this costs is
// the RPC engine's round trip on the machine. Started by the benchmarks, ended with SIGTERM.
//
//   plinth_bench_floor_server unix:/path/to/socket

#include <cstdio>

#include <grpcpp/grpcpp.h>
#include <plinth/v1/stage.grpc.pb.h>

namespace {

namespace pb = plinth::v1;

class CFixedPositions final : public pb::StageService::Service {
public:
    grpc::Status GetPositions(grpc::ServerContext* /*context*/, const pb::StageRequest* /*request*/,
                              pb::PositionsReply* reply) override
    {
        for (const char* axis : {"X", "Y", "Z"}) {
            auto* position = reply->add_positions_um();
            position->set_axis(axis);
            position->set_value(0.0);
        }
        return grpc::Status::OK;
    }
};

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s unix:SOCKET\n", argv[0]);
        return 2;
    }
    CFixedPositions service;
    grpc::ServerBuilder builder;
    builder.AddListeningPort(argv[1], grpc::InsecureServerCredentials());
    builder.RegisterService(&service);
    const std::unique_ptr<grpc::Server> server = builder.BuildAndStart();
    if (!server)
        return 1;
    server->Wait(); // until SIGTERM ends the process
    return 0;
}
