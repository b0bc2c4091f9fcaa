#include "CStageServer.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <system_error>

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <grpcpp/grpcpp.h>
#include <grpcpp/server_posix.h>

#include <cfg/GlobalPropSets.h>
#include <plinth/DriverModules.h>
#include <utl/PropertyRegistry.h>

#include "CEventHub.h"
#include "CStageService.h"
#include "CStageSession.h"
#include "CommandArgs.h"
#include "Interrupts.h"
#include "ServerAddress.h"

namespace plinthcli {
namespace {

// The largest request or reply: far beyond any message of the interface, small enough that no
// client can make the server hold much.
constexpr int c_maxMessageBytes = 64 * 1024;
// How long the calls under way get to end when the server stops.
constexpr std::chrono::milliseconds c_shutdownGrace{2000};

std::runtime_error SystemError(const std::string& what)
{
    return std::runtime_error(what + ": " + std::generic_category().message(errno));
}

// An open file descriptor, closed at the end of its scope.
class CFd {
public:
    explicit CFd(int fd = -1) noexcept : m_fd(fd) {}
    ~CFd()
    {
        if (m_fd >= 0)
            close(m_fd);
    }
    CFd(CFd&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    CFd& operator=(CFd&& other) noexcept
    {
        std::swap(m_fd, other.m_fd);
        return *this;
    }
    CFd(const CFd&) = delete;
    CFd& operator=(const CFd&) = delete;
    int Get() const noexcept { return m_fd; }

private:
    int m_fd;
};

// Makes the socket's directory private to the user: created 0700, or an existing one that is a
// real directory of the user's, which is then made 0700.
void PrepareSocketDirectory(const std::string& socketPath)
{
    const std::string dir = socketPath.substr(0, socketPath.find_last_of('/'));
    if (dir.empty())
        return;
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        throw SystemError("cannot make the socket's directory " + dir);
    struct stat info {};
    if (lstat(dir.c_str(), &info) != 0)
        throw SystemError("cannot look at " + dir);
    if (!S_ISDIR(info.st_mode) || info.st_uid != getuid())
        throw std::runtime_error(dir + " is not a directory of this user; choose another address with --listen");
    if ((info.st_mode & 0077) != 0 && chmod(dir.c_str(), 0700) != 0)
        throw SystemError("cannot make " + dir + " private");
}

CFd ListenUnix(const std::string& path)
{
    PrepareSocketDirectory(path);
    if (SocketAnswers(path))
        throw std::runtime_error("a server already listens at " + path);
    unlink(path.c_str()); // a socket left by a server that ended without cleaning up
    CFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.Get() < 0)
        throw SystemError("cannot make a socket");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    // Owner-only from the start: no moment in which others could connect.
    const mode_t previous = umask(0177);
    const int bound = bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    umask(previous);
    if (bound != 0)
        throw SystemError("cannot listen at " + path);
    if (chmod(path.c_str(), 0600) != 0 || listen(fd.Get(), 64) != 0)
        throw SystemError("cannot listen at " + path);
    return fd;
}

CFd ListenTcp(const tServerAddress& address)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    std::string host = address.host;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (getaddrinfo(host.c_str(), std::to_string(address.port).c_str(), &hints, &found) != 0 || found == nullptr)
        throw std::runtime_error("cannot resolve " + address.host);
    const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list(found, &freeaddrinfo);
    CFd fd(socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int yes = 1;
    if (fd.Get() < 0 || setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes)) != 0 ||
        bind(fd.Get(), found->ai_addr, found->ai_addrlen) != 0 || listen(fd.Get(), 64) != 0)
        throw SystemError("cannot listen at " + address.Text());
    return fd;
}

// Writes a hardware driver's port into the stage's settings before the driver starts.
void WritePort(stg::CLowLevelStage& stage, const std::string& port)
{
    if (port.empty())
        return;
    const auto info = utl::FindProperty(L"ZaberPort");
    mem::CBin stored;
    if (!info || info->type != mem::c_tWString || stage.GetPropertyVessel(info->id, stored) != stg::c_OK)
        throw std::runtime_error("the driver of stage " + std::to_string(stage.GetStageID()) + " takes no port");
    std::wstring wide(port.size(), L'\0');
    wide.resize(std::mbstowcs(wide.data(), port.c_str(), wide.size()));
    stg::WriteStageProperty(stage, info->id, wide);
}

void WriteTimeScale(stg::CLowLevelStage& stage, double timeScale)
{
    if (timeScale <= 0.0)
        return;
    if (const auto info = utl::FindProperty(L"SimTimeScale"); info && info->type == mem::c_tDouble)
        stg::WriteStageProperty(stage, info->id, timeScale);
}

// Loads the stage's driver module (chosen by the server's command line or its configuration,
// never by a client), registers and activates the stage. With `mustHaveAxes`, a driver that found
// no axis and says why counts as failed.
std::unique_ptr<CStageSession> OpenStage(const CStageServer::tStage& stage, double timeScale, bool mustHaveAxes)
{
    std::string why;
    const std::string module = stg::FindDriverModule(stage.driver, "", why);
    if (module.empty())
        throw std::runtime_error(why);
    auto session = std::make_unique<CStageSession>(module, stage.id, false, [&](stg::CLowLevelStage& low) {
        WritePort(low, stage.port);
        WriteTimeScale(low, timeScale);
    });
    const std::string said = DriverMessage(stage.id);
    if (mustHaveAxes && stg::GetAxisCount(stage.id) == 0 && !said.empty())
        throw std::runtime_error(said);
    return session;
}

std::string AxisName(std::uint32_t id, int axis)
{
    const stg::EAxisType type = stg::GetAxisType(id, axis);
    const char* letter = type == stg::eAxisX ? "X" : type == stg::eAxisY ? "Y" : type == stg::eAxisZ ? "Z" : nullptr;
    if (letter != nullptr && stg::GetAxisFromType(id, type) == axis)
        return letter;
    return std::to_string(axis);
}

} // namespace

CStageServer::tStage CStageServer::ParseStage(const std::string& text)
{
    const std::size_t equals = text.find('=');
    if (equals == std::string::npos || equals + 1 == text.size())
        throw std::runtime_error("--stage takes ID=DRIVER[:PORT], e.g. 1=sim or 2=zaber:/dev/ttyUSB0: " + text);
    tStage stage;
    stage.id = ParseInteger<std::uint32_t>(text.substr(0, equals), "the stage ID", 1);
    const std::string rest = text.substr(equals + 1);
    const std::size_t colon = rest.find(':');
    stage.driver = rest.substr(0, colon);
    if (colon != std::string::npos)
        stage.port = rest.substr(colon + 1);
    if (stage.driver.empty())
        throw std::runtime_error("--stage " + text + " names no driver");
    return stage;
}

int CStageServer::Run(const tOptions& options)
{
    // Without --stage: the stages remembered in the configuration file, each with the driver and
    // the settings (port, limits) it was last used with; the simulated stage 1 when there are none.
    std::vector<tStage> stages = options.stages;
    const bool remembered = stages.empty();
    if (remembered) {
        std::vector<std::uint32_t> unnamed;
        for (const auto& stage : stg::RememberedStages(unnamed))
            stages.push_back({stage.id, stage.driver, ""});
        for (const std::uint32_t id : unnamed)
            std::fprintf(stderr, "plinth serve: stage %u has settings but names no driver; give it with --stage\n", id);
        if (stages.empty())
            stages.push_back({1, "sim", ""});
    }
    const tServerAddress address =
        ParseServerAddress(options.listen.empty() ? "unix:" + DefaultSocketPath() : options.listen);
    std::string token;
    if (address.tcp) {
        if (options.tokenFile.empty())
            throw std::runtime_error("TCP needs a token: give a file holding it with --token-file");
        token = ReadTokenFile(options.tokenFile);
    }

    // The stages first: a server that cannot drive the stages it was given does not listen. A
    // remembered stage that cannot start (its device unplugged, its driver gone) is left out.
    std::map<std::uint32_t, std::unique_ptr<CStageSession>> sessions;
    std::map<std::uint32_t, std::string> drivers;
    std::map<std::uint32_t, std::map<int, std::string>> labels;
    for (const auto& stage : stages) {
        if (sessions.count(stage.id) != 0)
            throw std::runtime_error("stage " + std::to_string(stage.id) + " is given twice");
        try {
            sessions[stage.id] = OpenStage(stage, options.timeScale, remembered);
        } catch (const std::runtime_error& error) {
            sessions.erase(stage.id);
            if (!remembered)
                throw;
            std::fprintf(stderr, "plinth serve: stage %u (%s) left out: %s\n", stage.id, stage.driver.c_str(),
                         error.what());
            continue;
        }
        drivers[stage.id] = stage.driver;
        for (int axis : stg::GetAxisList(stage.id))
            labels[stage.id][axis] = AxisName(stage.id, axis);
    }

    if (sessions.empty())
        throw std::runtime_error("none of the remembered stages could start; name them with --stage");

    CFd listener = address.tcp ? ListenTcp(address) : ListenUnix(address.path);
    CEventHub hub(labels);
    CStageService service(drivers, token, hub);
    grpc::ServerBuilder builder;
    builder.RegisterService(&service);
    builder.SetMaxReceiveMessageSize(c_maxMessageBytes);
    builder.SetMaxSendMessageSize(c_maxMessageBytes);
    const std::unique_ptr<grpc::Server> server = builder.BuildAndStart();
    if (!server)
        throw std::runtime_error("the gRPC server could not start");

    std::string served;
    for (const auto& [id, driver] : drivers)
        served += (served.empty() ? "" : ", ") + std::to_string(id) + "=" + driver;
    std::fprintf(stderr, "plinth serve: stages %s; listening on %s\n", served.c_str(), address.Text().c_str());

    // The connections: each accepted socket goes to gRPC; a duplicate of it tells when the client
    // hangs up.
    struct tClient {
        int number;
        CFd watch;
    };
    std::vector<tClient> clients;
    int nextClient = 1;
    int signal = 0;
    while (signal == 0) {
        std::vector<pollfd> fds{{interrupts::ReadFd(), POLLIN, 0}, {listener.Get(), POLLIN, 0}};
        for (const auto& client : clients)
            fds.push_back({client.watch.Get(), POLLRDHUP, 0});
        if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR)
            throw SystemError("poll");
        signal = interrupts::Take();
        if (fds[1].revents & POLLIN) {
            const int fd = accept4(listener.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd >= 0) {
                CFd watch(fcntl(fd, F_DUPFD_CLOEXEC, 0));
                const int number = nextClient++;
                std::fprintf(stderr, "plinth serve: client %d connected\n", number);
                grpc::AddInsecureChannelFromFd(server.get(), fd);
                if (watch.Get() >= 0)
                    clients.push_back({number, std::move(watch)});
            }
        }
        for (std::size_t i = 2; i < fds.size(); ++i) {
            if ((fds[i].revents & (POLLRDHUP | POLLHUP | POLLERR)) == 0)
                continue;
            for (auto it = clients.begin(); it != clients.end(); ++it) {
                if (it->watch.Get() == fds[i].fd) {
                    std::fprintf(stderr, "plinth serve: client %d disconnected\n", it->number);
                    clients.erase(it);
                    break;
                }
            }
        }
    }

    std::fprintf(stderr, "plinth serve: %s: stopping the stages and ending\n", signal == SIGINT ? "SIGINT" : "SIGTERM");
    for (const auto& [id, session] : sessions)
        stg::StopMoving(id);
    service.Stopping();
    hub.CloseAll();
    server->Shutdown(std::chrono::system_clock::now() + c_shutdownGrace);
    server->Wait();
    if (!address.tcp)
        unlink(address.path.c_str());
    sessions.clear(); // unregisters every stage: their drivers store where the axes stand
    cfg::Flush();
    return 0;
}

} // namespace plinthcli
