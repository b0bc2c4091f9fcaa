// The stage server's addresses and token comparison.

#include <cstdlib>
#include <string>

#include <unistd.h>

#include <gtest/gtest.h>

#include "server/ServerAddress.h"

namespace {

using plinthcli::CAddressError;
using plinthcli::ParseServerAddress;
using plinthcli::TokensEqual;

TEST(ServerAddress, AddressesAreReadWholeOrRefused)
{
    EXPECT_EQ(ParseServerAddress("unix:/run/plinth.sock").Target(), "unix:/run/plinth.sock");
    EXPECT_EQ(ParseServerAddress("/run/plinth.sock").Target(), "unix:/run/plinth.sock");
    const auto tcp = ParseServerAddress("tcp:[::1]:5051");
    EXPECT_TRUE(tcp.tcp);
    EXPECT_EQ(tcp.Target(), "[::1]:5051");
    for (const char* bad :
         {"run/plinth.sock", "unix:", "tcp:localhost", "tcp::5051", "tcp:host:0", "tcp:host:65536", "tcp:host:12x"})
        EXPECT_THROW(ParseServerAddress(bad), CAddressError) << bad;
    EXPECT_THROW(ParseServerAddress("/" + std::string(120, 'a')), CAddressError);

    // The user's runtime directory when it is an absolute path, else a folder of the user's own.
    setenv("XDG_RUNTIME_DIR", "/run/user/7", 1);
    EXPECT_EQ(plinthcli::DefaultSocketPath(), "/run/user/7/plinth/server.sock");
    setenv("XDG_RUNTIME_DIR", "run/user/7", 1);
    setenv("TMPDIR", "/var/tmp", 1);
    EXPECT_EQ(plinthcli::DefaultSocketPath(), "/var/tmp/plinth-" + std::to_string(getuid()) + "/server.sock");
}

TEST(ServerAddress, OnlyTheWholeTokenIsTheToken)
{
    EXPECT_TRUE(TokensEqual("Bearer s3cret", "Bearer s3cret"));
    for (const char* wrong : {"Bearer s3cres", "Bearer s3cre", "Bearer s3crett", "", "bearer s3cret"})
        EXPECT_FALSE(TokensEqual(wrong, "Bearer s3cret")) << wrong;
    EXPECT_FALSE(TokensEqual("", ""));
}

} // namespace
