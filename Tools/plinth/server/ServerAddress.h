#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace plinthcli {

// Where a stage server listens: a Unix-domain socket (the default) or a TCP port.
struct tServerAddress {
    bool tcp = false;
    std::string path; // the socket's path (Unix)
    std::string host; // TCP
    std::uint16_t port = 0;

    // The gRPC target a client connects to ("unix:/run/user/1000/plinth/server.sock", "127.0.0.1:5051").
    std::string Target() const;
    // As written on the command line ("unix:PATH", "tcp:HOST:PORT").
    std::string Text() const;
};

struct CAddressError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// $XDG_RUNTIME_DIR/plinth/server.sock when XDG_RUNTIME_DIR is an absolute path, otherwise
// plinth-UID/server.sock in the system's temporary directory ($TMPDIR or /tmp).
std::string DefaultSocketPath();
// "unix:PATH", an absolute PATH, or "tcp:HOST:PORT" (HOST may be [v6]). Throws CAddressError.
tServerAddress ParseServerAddress(const std::string& text);
// The token in `path`: its first line, without surrounding white space; throws CAddressError when
// the file cannot be read or holds no token.
std::string ReadTokenFile(const std::string& path);
// Compares in a time that depends only on the length of `given`, not on where they differ.
bool TokensEqual(const std::string& given, const std::string& expected) noexcept;
// Whether a stage server answers at the Unix socket `path` (connects and closes at once).
bool SocketAnswers(const std::string& path);

} // namespace plinthcli
