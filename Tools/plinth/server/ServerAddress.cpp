#include "ServerAddress.h"

#include <cstdlib>
#include <cstring>
#include <fstream>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "CommandArgs.h"

namespace plinthcli {

std::string tServerAddress::Target() const { return tcp ? host + ":" + std::to_string(port) : "unix:" + path; }

std::string tServerAddress::Text() const { return tcp ? "tcp:" + host + ":" + std::to_string(port) : "unix:" + path; }

std::string DefaultSocketPath()
{
    // Read once per process, before any thread of ours runs.
    const char* runtime = std::getenv("XDG_RUNTIME_DIR"); // NOLINT(concurrency-mt-unsafe)
    if (runtime != nullptr && runtime[0] == '/')
        return std::string(runtime) + "/plinth/server.sock";
    const char* tmp = std::getenv("TMPDIR"); // NOLINT(concurrency-mt-unsafe)
    const std::string base = tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp";
    return base + "/plinth-" + std::to_string(getuid()) + "/server.sock";
}

tServerAddress ParseServerAddress(const std::string& text)
{
    tServerAddress address;
    if (text.rfind("tcp:", 0) == 0) {
        const std::string rest = text.substr(4);
        const std::size_t colon = rest.rfind(':');
        if (colon == std::string::npos || colon == 0)
            throw CAddressError("not a TCP address (tcp:HOST:PORT): " + text);
        address.tcp = true;
        address.host = rest.substr(0, colon);
        try {
            address.port =
                static_cast<std::uint16_t>(ParseInteger<std::uint32_t>(rest.substr(colon + 1), "the port", 1, 65535));
        } catch (const CArgumentError& error) {
            throw CAddressError(error.what());
        }
        return address;
    }
    address.path = text.rfind("unix:", 0) == 0 ? text.substr(5) : text;
    if (address.path.empty() || address.path[0] != '/')
        throw CAddressError("not a server address (unix:/PATH, /PATH or tcp:HOST:PORT): " + text);
    if (address.path.size() >= sizeof(sockaddr_un::sun_path))
        throw CAddressError("the socket path is too long: " + address.path);
    return address;
}

std::string ReadTokenFile(const std::string& path)
{
    std::ifstream file(path);
    std::string line;
    if (!file || !std::getline(file, line))
        throw CAddressError("cannot read the token file " + path);
    const std::size_t first = line.find_first_not_of(" \t\r");
    const std::size_t last = line.find_last_not_of(" \t\r");
    if (first == std::string::npos)
        throw CAddressError("the token file " + path + " holds no token");
    return line.substr(first, last - first + 1);
}

bool TokensEqual(const std::string& given, const std::string& expected) noexcept
{
    // Every byte of `given` is looked at whatever the outcome; a length mismatch only sets a bit.
    unsigned difference = given.size() == expected.size() ? 0U : 1U;
    for (std::size_t i = 0; i < given.size(); ++i) {
        const char other = expected.empty() ? '\0' : expected[i % expected.size()];
        difference |= static_cast<unsigned char>(given[i]) ^ static_cast<unsigned char>(other);
    }
    return difference == 0 && !expected.empty();
}

bool SocketAnswers(const std::string& path)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    const bool answers = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    close(fd);
    return answers;
}

} // namespace plinthcli
